# Views and hit testing.
target_sources(tfr_host_tests PRIVATE
  test_viewport.cpp)
