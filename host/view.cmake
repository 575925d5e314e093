# sources of this part: target_sources(tfr_host PRIVATE ...) and its libraries
