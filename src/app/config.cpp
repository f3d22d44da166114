#include "app/config.hpp"

// Placeholder: the configuration file reader replaces this.
namespace {
int g_port = 1337;
}

void load_config() {}
int server_port() { return g_port; }
void set_server_port(int port) { g_port = port; }
const char* welcome_message() { return "Welcome to the Server Roguelike! Enter username/password to begin.\n"; }
void reset_config() { g_port = 1337; }
