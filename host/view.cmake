# Viewports, render items and hit testing.
target_sources(tfr_host PRIVATE
  viewport.cpp)
