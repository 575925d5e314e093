-- Builds a small campfire scene with the scene functions and saves it beside the working folder:
--
--   tolvaris run examples/build_scene.lua
--   tolvaris scene built_campfire.json
--
-- Times are frames at the scene's frame rate; lengths are scene units (centimetres here).

scene.setFrameRate(30)
scene.setRange(0, 60)
scene.setUnitScale(0.01)
scene.setRenderSize(1280, 720)

local ground = scene.create("Plane", "Ground")
scene.setParam(ground, "length", 600)
scene.setParam(ground, "width", 600)

-- A node without an object groups the fire pit; moving it moves everything in it.
local pit = scene.createNode("Firepit")

local stones = scene.create("Torus", "Stones", pit)
scene.setParam(stones, "radius1", 45)
scene.setParam(stones, "radius2", 8)
scene.setPosition(stones, {0, 0, 4})

-- Three logs leaning together, turned about z by 120 degrees each.
for i = 1, 3 do
  local log = scene.create("Cylinder", "Log " .. i, pit)
  scene.setParam(log, "radius", 6)
  scene.setParam(log, "height", 60)
  local turn = 120 * (i - 1)
  scene.setRotation(log, {0, 70, turn})
  scene.setPosition(log, {-30 * math.cos(math.rad(turn)), -30 * math.sin(math.rad(turn)), 6})
end

local sparks = scene.create("ParticleEmitter", "Sparks", pit)
scene.setParam(sparks, "birthRate", 40)
scene.setParam(sparks, "speed", 60)
scene.setPosition(sparks, {0, 0, 15})

-- A gust: the wind's strength is keyed, rising to frame 30 and falling again.
local wind = scene.create("Wind", "Breeze")
scene.setPosition(wind, {-200, 0, 50})
scene.setParam(wind, "strength", 0.2, 0)
scene.setParam(wind, "strength", 1.5, 30)
scene.setParam(wind, "strength", 0.2, 60)

-- The camera dollies in over the range.
local camera = scene.create("Camera", "Camera")
scene.setRotation(camera, {75, 0, 0})
scene.setPosition(camera, {0, -400, 120}, 0)
scene.setPosition(camera, {0, -250, 80}, 60)
scene.setParam(camera, "fov", 50)
scene.select(camera)

local p = scene.getPosition(camera, 30)
print(string.format("camera at frame 30: %g, %g, %g", p.x, p.y, p.z))
print(string.format("wind strength at frame 15: %g", scene.getParam(wind, "strength", 15)))
print(#scene.nodes() .. " nodes")

scene.save("built_campfire.json")
print("saved built_campfire.json")
