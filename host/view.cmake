# Viewports, render items and hit testing; the software rasteriser; bitmaps and their PNG and
# JPEG files.
target_sources(tfr_host PRIVATE
  viewport.cpp
  raster.cpp
  bitmap.cpp
  image_codec.cpp
  scene_view.cpp)
target_link_libraries(tfr_host PRIVATE PNG::PNG JPEG::JPEG)
