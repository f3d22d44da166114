// The configuration file "mzdelve.cfg": the server port and the welcome text.
#pragma once

#include <cstdio>

// Finds (and on first run creates) the file and reads PORT and SERVER_WELCOME_MSG.
void load_config();

// Applies every "key = value" line of an open file to the settings; the
// reading half of load_config, kept apart so the parser can be fed directly.
void read_config_lines(std::FILE* file);

int server_port();
void set_server_port(int port);

// The text sent first to every connecting client; always terminated.
const char* welcome_message();

// Puts the built-in defaults back (for tests).
void reset_config();
