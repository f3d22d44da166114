delve_bench(bench_save
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_save.cpp ${PROJECT_SOURCE_DIR}/tests/save/save_fixtures.cpp
  LIBS save world term)
target_include_directories(bench_save PRIVATE ${PROJECT_SOURCE_DIR}/tests)
