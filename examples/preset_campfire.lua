-- Builds a fire pit, turns a new TolvarisFire domain into a campfire with the built-in preset and
-- bakes it through the plug-in's scripting interface:
--
--   tolvaris --documents ~/fire run examples/preset_campfire.lua
--
-- The scene is in metres. The preset sizes the domain (2 x 2 x 3 m) and sets the physics; the
-- script then lowers the resolution and shortens the range so that the bake takes a minute on two
-- CPU cores, and saves the scene so that the other commands find the same cache.

scene.setFrameRate(30)
scene.setRange(0, 40)
scene.setUnitScale(1.0)
scene.setRenderSize(640, 360)

local pit = scene.createNode("Firepit")
local logs = {}
for i = 1, 3 do
  local log = scene.create("Cylinder", "Log " .. i, pit)
  scene.setParam(log, "radius", 0.07)
  scene.setParam(log, "height", 0.7)
  local turn = 120 * (i - 1)
  scene.setRotation(log, {0, 70, turn})
  scene.setPosition(log, {-0.3 * math.cos(math.rad(turn)), -0.3 * math.sin(math.rad(turn)), 0.07})
  logs[i] = log
end

local camera = scene.create("Camera", "Camera")
scene.setRotation(camera, {80, 0, 0})
scene.setPosition(camera, {0, -5.5, 1.4})
scene.setParam(camera, "fov", 50)

local fire = scene.create("TolvarisFire", "Fire")
scene.setParam(fire, "emitters", logs)

local campfire = TolvarisFireOps.presetIndex("Campfire")
assert(TolvarisFireOps.applyPreset(fire, campfire), "the Campfire preset did not apply")
print(string.format("Campfire preset (index %d): box %g x %g x %g m", campfire,
                    scene.getParam(fire, "sizeX"), scene.getParam(fire, "sizeY"), scene.getParam(fire, "sizeZ")))

scene.setParam(fire, "resolution", 48)
scene.setParam(fire, "endFrame", 40)
scene.setParam(fire, "liveMode", 0)
scene.save("preset_campfire.json")

local ok = TolvarisFireOps.simulate(fire)
print(TolvarisFireOps.status())
if not ok then error("the bake failed") end

scene.setFrame(40)
print(TolvarisFireOps.frameInfo(fire))
