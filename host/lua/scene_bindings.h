// Scene building from Lua: the global table `scene`, bound to one Scene.
//
//   local ball = scene.create("Sphere", "Ball")       -- any registered class, by name
//   scene.setParam(ball, "radius", 5)                  -- at the current frame, no key
//   scene.setPosition(ball, {0, 0, 10}, 0)             -- a key at frame 0
//   scene.setPosition(ball, {50, 0, 10}, 24)           -- and one at frame 24
//   print(scene.getPosition(ball, 12).x)               -- 25: keys interpolate linearly
//   scene.save("ball.json")
//
// Nodes are the node values of the script engine (host/lua/lua_engine.h), so they pass straight to the
// functions of published interfaces. Times are frames at the scene's frame rate, fractions allowed
// (the nearest tick is taken); keys stay at their tick when the frame rate changes later. A frame
// argument left out means the current frame. Setting a transform or an animatable parameter with a
// frame keys it there; without one the value applies at the current frame without a key: a value
// that has no keys takes it as its constant, one with keys moves as a whole to pass through it.
// Points are {x, y, z} or {x = .., y = .., z = ..}; colours {r, g, b} or {r = .., g = .., b = ..};
// rotations Euler angles in degrees {x, y, z} applied x first, or a quaternion {x, y, z, w}.
//
// Every misuse (an unknown class, node or parameter, a value of the wrong type, a node that is not
// in the scene) is a Lua error naming the script's line and the function. Nodes cannot be deleted
// from scripts; a node value whose node left the scene by other means is refused, never followed.
// README.md ("Scene scripts") lists the functions.
#pragma once

#include <string>
#include <string_view>

#include "host/lua/lua_engine.h"

namespace host {

class Scene;

// Adds the global table `scene` working on `scene`, which must outlive the engine's scripts. False,
// with the reason, when the engine already has a global of that name.
bool BindScene(LuaEngine& engine, Scene& scene, std::string* message = nullptr);

// Runs a piece of Lua in an engine of its own whose `scene` table works on `scene`: how plug-ins
// run the scene-building scripts they carry. Never throws; an engine that cannot start is a
// failed result like any script error.
ScriptResult RunSceneScript(Scene& scene, std::string_view code, std::string_view chunkName = "script");

}  // namespace host
