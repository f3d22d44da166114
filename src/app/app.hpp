// The program entry: command line, main menu, local game start and game over, daemon mode.
#pragma once

constexpr const char* PID_FILE = "./rl_server.pid";

// Runs the program for an argument vector; returns the exit status.
int run_app(int argc, char** argv);
