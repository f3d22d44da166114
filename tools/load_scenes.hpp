// The load tool's scenes: one fast client sends refusals in a closed loop
// while one other client reads slowly, reads nothing, keeps pressing '?',
// sits at the class menu, sits in the shop, or keeps saving or loading with a
// day of saves in the folder, each scene on a fresh server; and four players
// in closed loops with sixteen watchers beside them.
#pragma once

#include <string>

namespace load {
// Prints the fast client's latency per scene and what the scene checks;
// false when a scene could not be set up or lost its fast client. only
// names the scenes to run by their letters; empty runs them all.
bool run_scenes(const std::string& program, long commands, const std::string& only = {});
}  // namespace load
