// The multi-player server: listener, one thread per client, the shared game.
#pragma once

#include <mutex>
#include <string>

constexpr int MAX_CLIENTS = 4;

// Guards server_game(), the client tables and output_fd().
std::mutex& game_mutex();

struct ClientTables {
    int client_count;
    int client_fds[MAX_CLIENTS];
    char client_names[MAX_CLIENTS][64];
};
ClientTables& client_tables();

// Listens on server_port() and serves until accepting fails. Returns only on
// failure, with a one-line description naming the port and the reason.
std::string run_server();

int join_server_game(int fd, const char* name);
void render_all_clients();
void remove_client(int slot);
