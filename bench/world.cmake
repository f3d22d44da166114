delve_bench(bench_world SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_world.cpp LIBS world)
