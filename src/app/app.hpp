// The program entry: command line, main menu, local game start and game over, daemon mode.
#pragma once

constexpr const char* PID_FILE = "./rl_server.pid";

// Runs the program for an argument vector; returns the exit status.
int run_app(int argc, char** argv);

// The daemon's handler for SIGTERM, SIGINT and SIGHUP: removes PID_FILE and
// ends the process with status 0.
void handle_daemon_signal(int sig);
