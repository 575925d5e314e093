# The scene, its objects, parameter blocks and scene files.
target_sources(tfr_host PRIVATE
  keys.cpp)
