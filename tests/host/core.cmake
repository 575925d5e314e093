# Tests of the scene, its objects, parameter blocks and scene files.
target_sources(tfr_host_tests PRIVATE
  test_keys.cpp
  test_scene.cpp
  test_param_block.cpp
  test_objects.cpp
  test_scene_file.cpp
  test_panels.cpp)
