# test sources of this part: target_sources(tfr_host_tests PRIVATE ...)
