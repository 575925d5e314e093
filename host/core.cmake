# The scene, its objects, parameter blocks and scene files.
target_sources(tfr_host PRIVATE
  keys.cpp
  undo.cpp
  param_block.cpp
  trimesh.cpp
  objects.cpp
  scene.cpp
  primitives.cpp
  particles.cpp
  forces.cpp
  camera.cpp
  hair.cpp
  scene_file.cpp
  panels.cpp)
# The plug-in hook for saved data hands out JSON values, so users of the layer see the library too.
target_link_libraries(tfr_host PUBLIC nlohmann_json::nlohmann_json PRIVATE tinyobjloader::tinyobjloader)
