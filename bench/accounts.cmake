delve_bench(bench_accounts SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_accounts.cpp LIBS accounts)
