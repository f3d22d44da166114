delve_fuzzer(fuzz_play SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_play.cpp LIBS input)
