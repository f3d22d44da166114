// The configuration file "mzdelve.cfg": the server port, the welcome text and
// the server's operating settings (address, seats, saves, web door, records).
#pragma once

#include <cstdio>
#include <string>

// Finds (and on first run creates) the file and reads every key it knows.
void load_config();

// Applies every "key = value" line of an open file to the settings; the
// reading half of load_config, kept apart so the parser can be fed directly.
void read_config_lines(std::FILE* file);

int server_port();
void set_server_port(int port);

// The text sent first to every connecting client; always terminated.
const char* welcome_message();

// What an operator sets beside the port and the welcome text. A value that
// does not parse, or lies outside its range, leaves the setting as it was.
struct ServerSettings {
    // BIND: the address the game port (and the web door) listens on; empty
    // listens on every local address, IPv6 and IPv4.
    std::string bind;
    // SAVES_KEPT: the server keeps the newest this many saves; 0 keeps all.
    int saves_kept { 100 };
    // SEAT_HOLD: seconds a dropped player's seat waits for its return; 0
    // ends the seat at once.
    int seat_hold_s { 300 };
    // IDLE_LIMIT: seconds without input before a joined player is let go
    // (its seat held); 0 never.
    int idle_limit_s { 3600 };
    // WEB_PORT: the browser door's port; 0 keeps it closed.
    int web_port { 0 };
    // WEB_TLS_CERT, WEB_TLS_KEY: PEM files; with both the web door speaks TLS.
    std::string web_tls_cert;
    std::string web_tls_key;
    // WATCHERS: how many may watch at once.
    int watchers { 16 };
    // RECORD: on or off, a recording of every joined player's screen.
    bool record { true };
    // RECORD_KEEP_MB: the recordings folder is kept below this many MiB.
    int record_keep_mb { 1024 };
};
const ServerSettings& server_settings();
void set_server_settings(const ServerSettings& settings);

// Puts the built-in defaults back (for tests).
void reset_config();
