# Viewports, render items and hit testing; bitmaps and their PNG and JPEG files.
target_sources(tfr_host PRIVATE
  viewport.cpp
  bitmap.cpp
  image_codec.cpp)
target_link_libraries(tfr_host PRIVATE PNG::PNG JPEG::JPEG)
