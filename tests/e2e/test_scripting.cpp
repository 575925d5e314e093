// TolvarisFireOps from a Lua script run by the built program: each of its functions once, on a
// small scene, in the order an artist's script would call them, the README's example included.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_scene.h"
#include "io/png_writer.h"
#include "tests/support/tolvaris_program.h"

namespace tf::e2e {
namespace {

namespace fs = std::filesystem;

// One line per call: "name: result | status".
constexpr const char* kScript = R"lua(
local fire, box = scene.find("Fire"), scene.find("Log")
local function show(name, result) print(name .. ": " .. tostring(result) .. " | " .. TolvarisFireOps.status()) end
show("status", TolvarisFireOps.status())
show("presetIndex Candle", TolvarisFireOps.presetIndex("Candle"))
show("presetIndex placeholder", TolvarisFireOps.presetIndex("(choose a preset)"))
show("simulate box", TolvarisFireOps.simulate(box))
show("simulate", TolvarisFireOps.simulate(fire))
scene.setFrame(3)
show("frameInfo", TolvarisFireOps.frameInfo(fire))
show("bridgeInfo", TolvarisFireOps.bridgeInfo(fire))
show("bridgeInfo box", TolvarisFireOps.bridgeInfo(box))
show("exportVDB", TolvarisFireOps.exportVDB(fire))
show("compositeOver", TolvarisFireOps.compositeOver(fire, "bg.png", "over.png"))
show("savePreset", TolvarisFireOps.savePreset(fire, "mine"))
show("presetIndex mine", TolvarisFireOps.presetIndex("mine"))
show("applyPreset mine", TolvarisFireOps.applyPreset(fire, TolvarisFireOps.presetIndex("[my] mine")))
show("applyPreset 0", TolvarisFireOps.applyPreset(fire, 0))
show("applyPreset Torch", TolvarisFireOps.applyPreset(fire, 4))
show("sizeX after Torch", scene.getParam(fire, "sizeX"))
show("fireFromEvents", TolvarisFireOps.fireFromEvents(fire, "events.txt", {minEnergy = 2.5}))
show("clearCache", TolvarisFireOps.clearCache(fire))
show("frameInfo cleared", TolvarisFireOps.frameInfo(fire))
)lua";

TEST(Scripting, EveryFunctionOfTheInterfaceFromLua) {
  TempFolder docs, work;
  WriteText(work / "scene.json", SceneJson(Range(0, 3) + ", " + CachePath(work / "cache")));
  WriteText(work / "script.lua", kScript);
  WriteText(work / "events.txt", "# frame x y z kind energy\n1 0 0 10 impact 5\n2 0 0 10 spark 1\n3 0 0 10 dust 3\n");
  std::vector<uint8_t> grey(64 * 36 * 3, 80);
  ASSERT_TRUE(WritePng((work / "bg.png").string(), grey.data(), 64, 36));

  const fs::path previous = fs::current_path();
  fs::current_path(work.path());  // the script names its files relative to the working folder
  const Outcome o = RunProgram({"--documents", docs.path().string(), "run", "script.lua", "--scene", "scene.json"});
  fs::current_path(previous);
  ASSERT_EQ(o.status, 0) << o.err << o.out;

  const std::string out = "\n" + o.out;
  const auto line = [&out](const std::string& name) {
    const size_t at = out.find("\n" + name + ": ");
    if (at == std::string::npos) return std::string("(missing)");
    const size_t from = at + name.size() + 3;
    return out.substr(from, out.find('\n', from) - from);
  };
  EXPECT_EQ(line("status"), " | ") << "empty right after the plug-in loads";
  EXPECT_EQ(line("presetIndex Candle"), "1 | ");
  EXPECT_EQ(line("presetIndex placeholder"), "0 | ");
  EXPECT_EQ(line("simulate box"), "false | not a TolvarisFire node");
  EXPECT_EQ(line("simulate").rfind("true | Simulated 4 frames, 11x11x16 on the ", 0), 0u) << line("simulate");
  EXPECT_EQ(line("frameInfo").rfind("live=0 frame=3 grid=11x11x16 crop=", 0), 0u) << line("frameInfo");
  EXPECT_EQ(line("bridgeInfo").rfind("bridge v2: ", 0), 0u) << line("bridgeInfo");
  EXPECT_EQ(line("bridgeInfo box").rfind("bridge: not a fire node", 0), 0u);
  EXPECT_EQ(line("exportVDB").rfind("true | 4 VDB frames, ", 0), 0u) << line("exportVDB");
  EXPECT_EQ(line("compositeOver"), "true | composited over.png");
  EXPECT_EQ(line("savePreset").rfind("true | Saved preset \"mine\" (", 0), 0u) << line("savePreset");
  EXPECT_EQ(line("presetIndex mine").rfind("9 | ", 0), 0u) << line("presetIndex mine");
  EXPECT_EQ(line("applyPreset mine").rfind("true | ", 0), 0u) << line("applyPreset mine");
  EXPECT_EQ(line("applyPreset 0").rfind("false | ", 0), 0u);
  EXPECT_EQ(line("applyPreset Torch").rfind("true | ", 0), 0u);
  EXPECT_EQ(line("sizeX after Torch").rfind("40.0 | ", 0), 0u) << "0.4 m at 0.01 m per unit: " << line("sizeX after Torch");
  EXPECT_EQ(line("fireFromEvents"), "2 | 2 events above the minimum energy");
  EXPECT_EQ(line("clearCache"), "true | Deleted 4 cached frames.");
  EXPECT_EQ(line("frameInfo cleared").rfind("no frame | ", 0), 0u);
  EXPECT_TRUE(fs::is_regular_file(work / "over.png"));
  EXPECT_TRUE(fs::is_regular_file(docs / "TolvarisFire" / "presets" / "mine.tfp"));
}

// A handler of baked frames that fails on one frame: the bake goes on to the end, the handler's
// failure is on stderr with its file and line and in the bake's summary, and what the failing
// call changed is undone while the other calls' changes stay.
constexpr const char* kHandlerScript = R"lua(
local fire = scene.find("Fire")
local seen = {}
callbacks.add("frameBaked", function(node, frame)
  seen[#seen + 1] = frame
  scene.setParam(node, "smokeRate", frame + 1)
  if frame == 2 then error("frame 2 is not wanted") end
end)
print("simulate: " .. tostring(TolvarisFireOps.simulate(fire)))
print("status: " .. TolvarisFireOps.status())
print("seen: " .. table.concat(seen, ","))
print("smokeRate: " .. scene.getParam(fire, "smokeRate"))
)lua";

TEST(Scripting, AFailingHandlerOfBakedFramesLeavesTheBakeGoingOn) {
  TempFolder docs, work;
  WriteText(work / "scene.json", SceneJson(Range(0, 3) + ", " + CachePath(work / "cache")));
  WriteText(work / "handler.lua", kHandlerScript);
  const Outcome o = RunProgram({"--documents", docs.path().string(), "run", (work / "handler.lua").string(), "--scene",
                                (work / "scene.json").string()});
  ASSERT_EQ(o.status, 0) << o.err << o.out;
  // Lua shortens long file names from the left ("...handler.lua:7:").
  EXPECT_NE(o.err.find("tolvaris: frameBaked handler failed, its changes undone: "), std::string::npos) << o.err;
  EXPECT_NE(o.err.find("handler.lua:7: frame 2 is not wanted\n"), std::string::npos) << o.err;
  EXPECT_NE(o.out.find("simulate: true\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("status: Simulated 4 frames"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("WARNING: frameBaked handler failed, its changes undone: "), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("seen: 0,1,2,3\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("smokeRate: 4.0\n"), std::string::npos) << o.out;
  EXPECT_EQ(CountFrames(work / "cache"), 4u);
}

TEST(Scripting, ThePresetCampfireExampleBakes) {
  TempFolder docs, work;
  const fs::path previous = fs::current_path();
  fs::current_path(work.path());  // the example saves its scene in the working folder
  // A minute and more in the sanitizer build.
  const Outcome o = RunProgram({"--documents", docs.path().string(), "run",
                                (fs::path(TFR_EXAMPLES_DIR) / "preset_campfire.lua").string()},
                               400);
  fs::current_path(previous);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("Campfire preset (index 3): box 2 x 2 x 3 m\n"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("Simulated 41 frames, 32x32x48 on the "), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("live=0 frame=40 grid=32x32x48 "), std::string::npos) << o.out;
  EXPECT_TRUE(fs::is_regular_file(work / "preset_campfire.json"));
}

}  // namespace
}  // namespace tf::e2e
