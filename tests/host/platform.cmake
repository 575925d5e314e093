# Platform services, function publishing, the Lua engine and its scene functions, plug-in loading
# and the tolvaris program.
target_sources(tfr_host_tests PRIVATE
  test_platform.cpp
  test_publish.cpp
  test_lua_engine.cpp
  test_scene_bindings.cpp
  test_plugins.cpp
  test_tolvaris.cpp)

# A plug-in module for the loading tests. Like every module it leaves the host's symbols undefined
# and binds to those the loading program exports.
add_library(tfr_test_module MODULE test_module.cpp)
set_target_properties(tfr_test_module PROPERTIES PREFIX "" SUFFIX ".dlo")
target_include_directories(tfr_test_module PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_options(tfr_test_module PRIVATE ${TFR_WARNINGS})

set_target_properties(tfr_host_tests PROPERTIES ENABLE_EXPORTS ON)
# The program loads the plug-in module beside it, so the example scene's domain loads there.
add_dependencies(tfr_host_tests tfr_test_module tolvaris tfr_module)
target_compile_definitions(tfr_host_tests PRIVATE
  TFR_TEST_MODULE="$<TARGET_FILE:tfr_test_module>"
  TFR_TOLVARIS="$<TARGET_FILE:tolvaris>"
  TFR_EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples")
