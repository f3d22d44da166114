# The server's load tool: real clients over loopback against tuned_server.
# Run: bench/load_clients [<build>/tools/tuned_server [seconds per phase [refuse|wait [commands per scene [scenes]]]]]
add_executable(load_clients ${PROJECT_SOURCE_DIR}/tools/load_clients.cpp ${PROJECT_SOURCE_DIR}/tools/load_support.cpp
  ${PROJECT_SOURCE_DIR}/tools/load_scenes.cpp)
# The shop scene writes a save file for the server to load.
target_link_libraries(load_clients PRIVATE save world term Threads::Threads)
target_compile_definitions(load_clients PRIVATE DELVE_TUNED_SERVER="$<TARGET_FILE:tuned_server>")
add_dependencies(load_clients tuned_server)
delve_set_options(load_clients)

# The web door's load tool: browsers (Beast's WebSocket client) against tuned_server.
# Run: bench/load_web [<build>/tools/tuned_server [seconds per phase [commands of the fast player [plain]]]]
add_executable(load_web ${PROJECT_SOURCE_DIR}/tools/load_web.cpp ${PROJECT_SOURCE_DIR}/tools/load_support.cpp
  ${PROJECT_SOURCE_DIR}/tools/tcp_bytes.cpp)
target_link_libraries(load_web PRIVATE save world term beast_impl Threads::Threads)
target_compile_definitions(load_web PRIVATE DELVE_TUNED_SERVER="$<TARGET_FILE:tuned_server>")
add_dependencies(load_web tuned_server)
delve_set_options(load_web)

# From SIGUSR2 to the players' redraw: four players across reloads of tuned_server.
# Run: bench/reload_time [<build>/tools/tuned_server [rounds]]
add_executable(reload_time ${PROJECT_SOURCE_DIR}/tools/reload_time.cpp ${PROJECT_SOURCE_DIR}/tools/load_support.cpp)
target_link_libraries(reload_time PRIVATE save world term Threads::Threads)
target_compile_definitions(reload_time PRIVATE DELVE_TUNED_SERVER="$<TARGET_FILE:tuned_server>")
add_dependencies(reload_time tuned_server)
delve_set_options(reload_time)
