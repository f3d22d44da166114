// The time from SIGUSR2 to the players' redraw: four players joined to a
// tuned_server (web door open), the server reloaded round after round; per
// round, when the first and the last player had the new program's whole
// frame, and whether the next key was answered.
//
//   reload_time [<build>/tools/tuned_server [rounds]]
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "load_support.hpp"

namespace {
using load::Clock;

double ms_between(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}
}  // namespace

int main(int argc, char** argv)
{
    std::string program = argc > 1 ? argv[1] : DELVE_TUNED_SERVER;
    int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    load::ServerProcess server(program);
    if (!server.listening())
        return std::fprintf(stderr, "the server did not start\n"), 1;
    std::vector<load::Conn> players;
    for (int i = 0; i < 4; ++i) {
        players.emplace_back(load::connect_to(server.port()));
        if (!load::join(players.back(), "reload" + std::to_string(i)))
            return std::fprintf(stderr, "player %d could not join\n", i), 1;
    }
    std::vector<double> first, last;
    int lost = 0;
    for (int r = 0; r < rounds; ++r) {
        for (load::Conn& c : players)
            c.drain(50);
        auto signalled = Clock::now();
        kill(server.pid(), SIGUSR2);
        std::vector<double> seen;
        for (load::Conn& c : players) {
            if (c.until(load::FRAME_END, 5000).empty())
                ++lost;
            else
                seen.push_back(ms_between(signalled, Clock::now()));
        }
        if (seen.empty())
            break;
        first.push_back(*std::min_element(seen.begin(), seen.end()));
        last.push_back(*std::max_element(seen.begin(), seen.end()));
        // The new program answers the next key.
        players[r % 4].send("c");
        if (players[r % 4].frame_with("You know no spells.").empty())
            ++lost;
    }
    std::printf("reload_time: %zu rounds, 4 players: first redraw p50=%.1f ms; last redraw p50=%.1f ms p90=%.1f ms "
                "max=%.1f ms; lost=%d\n",
                last.size(), percentile(first, 0.5), percentile(last, 0.5), percentile(last, 0.9),
                percentile(last, 1.0), lost);
    return lost == 0 ? 0 : 1;
}
