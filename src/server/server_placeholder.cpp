// Stand-ins until the server lands; each is removed from here when its real
// definition is added.
#include "server/server.hpp"

namespace {
std::mutex g_game_mutex;
ClientTables g_tables;
}

std::mutex& game_mutex() { return g_game_mutex; }
ClientTables& client_tables() { return g_tables; }
std::string run_server() { return "Server mode is not available yet."; }
int join_server_game(int, const char*) { return -1; }
void render_all_clients() {}
void remove_client(int) {}
