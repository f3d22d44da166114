delve_bench(bench_render SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_render.cpp LIBS render world term)
