delve_fuzzer(fuzz_save SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_save.cpp LIBS save world term)
