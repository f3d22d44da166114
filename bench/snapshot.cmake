delve_bench(bench_snapshot
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_snapshot.cpp ${PROJECT_SOURCE_DIR}/tests/save/save_fixtures.cpp
  LIBS server save world term)
target_include_directories(bench_snapshot PRIVATE ${PROJECT_SOURCE_DIR}/tests)
