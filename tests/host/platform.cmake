# Platform services, function publishing, the Lua engine, plug-in loading and the tolvaris program.
target_sources(tfr_host_tests PRIVATE
  test_platform.cpp
  test_publish.cpp
  test_lua_engine.cpp)
