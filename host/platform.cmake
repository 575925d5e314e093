# Platform services, function publishing, the Lua engine with its scene functions and plug-in loading.
target_sources(tfr_host PRIVATE
  platform.cpp
  atomic_file.cpp
  publish.cpp
  lua_engine.cpp
  scene_bindings.cpp
  plugins.cpp)
# lua_engine.h hands out the lua_State, so users of the library see Lua's headers too.
target_include_directories(tfr_host PUBLIC ${LUA_INCLUDE_DIR})
target_link_libraries(tfr_host PUBLIC ${LUA_LIBRARIES} ${CMAKE_DL_LIBS})
