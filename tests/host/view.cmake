# Views, hit testing, the rasteriser and bitmaps. The tests make their own JPEGs with libjpeg
# (its imported target is local to host/, so it is found again here).
find_package(JPEG REQUIRED)
target_sources(tfr_host_tests PRIVATE
  test_viewport.cpp
  test_raster.cpp
  test_scene_view.cpp
  test_bitmap.cpp)
target_link_libraries(tfr_host_tests PRIVATE JPEG::JPEG)
