# Platform services, function publishing, the Lua engine and plug-in loading.
target_sources(tfr_host PRIVATE
  platform.cpp
  class_desc.cpp
  publish.cpp)
target_link_libraries(tfr_host PUBLIC ${CMAKE_DL_LIBS})
