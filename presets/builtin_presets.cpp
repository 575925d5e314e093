#include "presets/builtin_presets.h"

#include <algorithm>
#include <cstdio>

#include "domain/fire_params_desc.h"
#include "host/scene/objects.h"
#include "host/scene/scene.h"
#include "host/lua/scene_bindings.h"
#include "presets/preset_edit.h"

namespace tf {

namespace {

// The parameters every row sets, in the order they are applied.
constexpr FireParamId kRowOrder[] = {kFuelRate,  kEmitTempK, kBurnRate,  kHeat,      kSmokeYield,
                                     kExpansion, kBuoyancy,  kCooling,   kVorticity, kSmokeDissipate,
                                     kEmitSpeed, kEmitBlend, kEmitNoise, kSmokeRate, kWindX,
                                     kWindY,     kWindZ,     kWindDrag,  kIgnitionK, kSmokeWeight};
constexpr size_t kRowValues = std::size(kRowOrder);

BuiltInPreset Row(const char* name, std::array<float, 3> size, int resolution, const std::array<float, kRowValues>& v) {
  BuiltInPreset p{name, size, resolution, {}, nullptr};
  for (size_t k = 0; k < kRowValues; ++k) p.values.emplace_back(uint16_t(kRowOrder[k]), v[k]);
  return p;
}

// Builds the explosion's sources in the domain's space when it has none yet: a core that swells
// and shrinks away (a sudden jump in source size would throw air at very high speed), seven debris
// pieces on ballistic paths and a rolling ring of dust. Lengths are written in metres and converted
// with `m`. The one format argument is the domain node's handle.
constexpr const char* kGroundExplosionScript = R"(
local dom = scene.find(%u)
if not dom then return end
for _, e in ipairs(scene.getParam(dom, "emitters")) do
  if e then return end
end
local m = 1 / scene.settings().metresPerUnit
local endFrame = scene.getParam(dom, "endFrame")
math.randomseed(11)
local function rand(lo, hi) return lo + (hi - lo) * math.random() end
local function source(class, base)
  local node = scene.create(class, scene.uniqueName(base), dom)
  scene.setRenderable(node, false)
  scene.setBoxMode(node, true)
  return node
end
local function keys(node, name, list)
  for _, k in ipairs(list) do scene.setParam(node, name, k[2] * m, k[1]) end
end

local core = source("Sphere", "EXP_Core")
scene.setParam(core, "segments", 16)
scene.setPosition(core, {0, 0, 1 * m})
keys(core, "radius", {{0, 0.5}, {3, 4.0}, {7, 5.5}, {9, 0.001}})
local emitters = {core}

for i = 1, 7 do
  local piece = source("Sphere", "EXP_Debris")
  local r = rand(0.5, 0.9)
  scene.setParam(piece, "segments", 8)
  local azimuth, elevation, speed = math.rad(rand(0, 360)), math.rad(rand(35, 75)), rand(22, 38)
  local vx = speed * math.cos(elevation) * math.cos(azimuth)
  local vy = speed * math.cos(elevation) * math.sin(azimuth)
  local vz = speed * math.sin(elevation)
  scene.setPosition(piece, {0, 0, 1 * m}, 0)
  scene.setParam(piece, "radius", r * m, 0)
  for f = 2, endFrame, 2 do
    local t = f / 24
    local z = 1 + vz * t - 4.9 * t * t
    scene.setPosition(piece, {vx * t * m, vy * t * m, z * m}, f)
    if z < 0.3 or f > 14 then
      scene.setParam(piece, "radius", 0.001 * m, f)
      break
    end
    scene.setParam(piece, "radius", r * m, f)
  end
  emitters[#emitters + 1] = piece
end

local dust = source("Torus", "EXP_Dust")
scene.setParam(dust, "segments", 48)
scene.setParam(dust, "sides", 12)
scene.setPosition(dust, {0, 0, 0.8 * m})
keys(dust, "radius1", {{0, 3}, {16, 16}})
keys(dust, "radius2", {{0, 1.5}, {16, 3}, {22, 2.5}, {28, 0.001}})

scene.setParam(dom, "emitters", emitters)
scene.setParam(dom, "dustSources", {dust})
-- The shell, so that a tiny or degenerate source never fills the whole domain.
scene.setParam(dom, "emitMode", 1)
for _, name in ipairs({"closedFloor", "openSides", "openTop",
                       "outVDB", "vdbDensity", "vdbTemp", "vdbFlame", "vdbVelocity"}) do
  scene.setParam(dom, name, true)
end
scene.setParam(dom, "smokeColor", {70 / 255, 66 / 255, 64 / 255})
scene.setParam(dom, "substeps", 6)
)";

std::vector<BuiltInPreset> MakePresets() {
  std::vector<BuiltInPreset> rows;
  rows.push_back({"(choose a preset)", {0, 0, 0}, 0, {}, nullptr});
  //                                                    fuel  temp  burn heat smoke exp  buoy cool vort diss
  //                                                    speed blend noise smokeRate windX Y Z drag ignition weight
  rows.push_back(Row("Candle", {0.12f, 0.12f, 0.36f}, 96, {2.5f, 1000, 10, 1.8f, 0.05f, 0.3f, 3, 3, 1, 2,
                                                            0.2f, 0.3f, 0.3f, 0, 0, 0, 0, 0, 550, 0.05f}));
  rows.push_back(Row("Fireplace", {1, 0.5f, 0.9f}, 128, {5, 1100, 6, 2.5f, 0.4f, 0.6f, 2.5f, 1.5f, 5, 0.6f,
                                                          0.5f, 0.3f, 0.6f, 0, 0, 0, 0, 0, 550, 0.05f}));
  rows.push_back(Row("Campfire", {2, 2, 3}, 128, {6, 1200, 5, 3, 0.3f, 0.8f, 2.5f, 1, 6, 0.6f,
                                                  1, 0.3f, 0.7f, 0, 0, 0, 0, 0, 550, 0.05f}));
  rows.push_back(Row("Torch", {0.4f, 0.4f, 1}, 96, {4, 1150, 8, 2.2f, 0.5f, 0.5f, 2.5f, 2, 4, 0.5f,
                                                    0.6f, 0.3f, 0.5f, 0, 0, 0, 0, 0, 550, 0.05f}));
  rows.push_back(Row("Burning window", {3, 2, 4}, 160, {8, 1200, 4, 3.5f, 1.2f, 1, 2, 0.8f, 7, 0.1f,
                                                        1.5f, 0.4f, 0.7f, 0, 0, 0, 0, 0, 550, 0.08f}));
  rows.push_back(Row("Chimney smoke", {3, 3, 8}, 128, {0, 450, 0, 0, 0, 0, 1, 0.3f, 3, 0.05f,
                                                       2, 0.5f, 0.4f, 5, 1.5f, 0, 0, 0.5f, 550, 0.03f}));
  rows.push_back(Row("Fireball", {6, 6, 8}, 160, {30, 1500, 5, 4, 1.5f, 4, 2.5f, 0.6f, 8, 0.15f,
                                                  3, 0.5f, 0.8f, 0, 0, 0, 0, 0, 550, 0.05f}));
  BuiltInPreset ground = Row("Ground explosion", {44, 44, 32}, 0, {18, 1700, 5, 4, 2.5f, 1.5f, 2.2f, 0.7f, 14, 0.04f,
                                                                   4, 0.4f, 0.9f, 2, 0, 0, 0, 0, 550, 0.15f});
  // Flow displacement follows the smoke rate; the flame tongues come last.
  const auto afterSmokeRate =
      std::find_if(ground.values.begin(), ground.values.end(), [](const auto& v) { return v.first == kSmokeRate; }) + 1;
  ground.values.insert(afterSmokeRate, {{uint16_t(kFlowDisplace), 4.0f}, {uint16_t(kFlowDisplaceSize), 3.0f}});
  ground.values.insert(ground.values.end(), {{uint16_t(kTurbulence), 30.0f}, {uint16_t(kTurbScale), 3.0f}});
  ground.script = kGroundExplosionScript;
  rows.push_back(std::move(ground));
  return rows;
}

void RunPresetScript(host::Object& domain, const char* script) {
  host::Scene* scene = domain.GetScene();
  const host::Node* node = scene ? scene->FindNodeOf(&domain) : nullptr;
  if (!node) return;
  std::vector<char> code(2 * std::char_traits<char>::length(script) + 64);
  std::snprintf(code.data(), code.size(), script, unsigned(node->Handle()));
  // Quietly: the parameters are set whatever becomes of the script.
  host::RunSceneScript(*scene, code.data(), "preset");
}

}  // namespace

const std::vector<BuiltInPreset>& BuiltInPresets() {
  static const std::vector<BuiltInPreset> rows = MakePresets();
  return rows;
}

bool ApplyBuiltInPreset(host::Object* domain, const BuiltInPreset& row) {
  host::ParamBlock* block = DomainBlock(domain);
  if (!block) return false;
  const host::TimeValue t = domain->CurrentTime();
  const double u = MetresPerUnit(*domain);
  {
    PresetUndoStep step(*domain);
    block->SetFloat(kSizeX, t, float(row.size[0] / u));
    block->SetFloat(kSizeY, t, float(row.size[1] / u));
    block->SetFloat(kSizeZ, t, float(row.size[2] / u));
    block->SetInt(kResolution, t, row.resolution);
    block->SetFloat(kSurfThickness, t, float(0.02 * std::max(row.size[0], row.size[1]) / u));
    for (const auto& [id, value] : row.values) block->SetFloat(id, t, value);
    // Inside the preset's step, so that one undo takes back the nodes the script made too; a
    // script that fails undoes only its own part.
    if (row.script) RunPresetScript(*domain, row.script);
  }
  return true;
}

}  // namespace tf
