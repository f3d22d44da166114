delve_fuzzer(fuzz_config SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_config.cpp LIBS config)
