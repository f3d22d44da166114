delve_fuzzer(fuzz_snapshot SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_snapshot.cpp LIBS save rules world term)
