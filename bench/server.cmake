# The server's load tool: real clients over loopback against a real server.
# Run: bench/load_clients <build>/src/app/mzDELVE [seconds per phase] [refuse|wait]
add_executable(load_clients ${PROJECT_SOURCE_DIR}/tools/load_clients.cpp)
target_link_libraries(load_clients PRIVATE Threads::Threads)
delve_set_options(load_clients)
