delve_bench(bench_records SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_records.cpp LIBS records render world term)
