// Load tool for the server. Starts tuned_server (with its lock statistics) on
// a free loopback port and measures, with real clients over loopback:
//
// - phases: 1 to 4 joined clients (set-up not timed) in a closed loop (send
//   a key, wait for the own frame that answers it): commands per second and
//   key-to-frame latency, then the server's peak RSS; the keys are refusals,
//   or with "wait" every other key takes a turn (the world steps twice);
// - churn: short and garbage connections, then a check that no descriptor or
//   thread is left behind and that the server still serves;
// - scenes (load_scenes.hpp), each on a fresh server.
//
//   load_clients [<tuned_server> [seconds per phase [refuse|wait [commands per scene [scenes]]]]]
//
// Seconds per phase 0 leaves the phases and the churn out; scenes names the
// scenes to run by their letters ("fgh", "w" for the watchers), all by default.
#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "load_scenes.hpp"
#include "load_support.hpp"
#include "world/game.hpp"

namespace {
using namespace load;
using std::chrono::milliseconds;

constexpr const char* DEFAULT_SERVER = DELVE_TUNED_SERVER;

// The party of the waiting keys stands in a row (x, y), (x + 2, y), ...
struct Pen {
    int left, right, top, bottom;
    bool contains(int x, int y) const { return x >= left && x <= right && y >= top && y <= bottom; }
};

void set_cell(Cell& c, bool wall)
{
    c.glyph = wall ? '#' : '.';
    c.blocked = wall;
    c.terrain = wall ? TERRAIN_WALL : TERRAIN_FLOOR;
    copy_text(c.color, wall ? "\x1b[33m" : "\x1b[90m");
}

// A monster inside the pen goes to the first free floor cell outside it.
void move_out(Game& g, Monster& m, const Pen& pen)
{
    for (int y = MAP_HEIGHT - 2; y > 0; --y)
        for (int x = MAP_WIDTH - 2; x > 0; --x)
            if (!pen.contains(x, y) && !cell_at(g, x, y).blocked && !monster_at(g, x, y)) {
                m.x = x;
                m.y = y;
                return;
            }
}

// Walls all round the party: the monsters still move every turn but never
// reach anyone. An attack would put its message in place of a player's own
// answer, and the closed loop could no longer tell its frame.
void pen_in(Game& g, int players)
{
    int x0 = std::clamp(g.player.x, 2, MAP_WIDTH - 3 - 2 * (MAX_PLAYERS - 1));
    int y0 = std::clamp(g.player.y, 2, MAP_HEIGHT - 3);
    Pen pen { x0 - 1, x0 + 2 * (MAX_PLAYERS - 1) + 1, y0 - 1, y0 + 1 };
    for (int y = pen.top; y <= pen.bottom; ++y)
        for (int x = pen.left; x <= pen.right; ++x)
            set_cell(cell_at(g, x, y), y != y0 || x == pen.left || x == pen.right);
    for (Monster& m : g.monsters)
        if (m.alive && pen.contains(m.x, m.y))
            move_out(g, m, pen);
    for (int k = 0; k < players; ++k) {
        Player& p = *player_by_number(g, k);
        p.x = x0 + 2 * k;
        p.y = y0;
    }
}

// Standing still, a Fighter of 100 hit points dies within some fifty turns
// and takes the connection with it; a penned party that cannot die keeps
// the monsters busy for the whole phase.
bool load_undying_party(ServerProcess& server, std::vector<Conn>& conns)
{
    int players = static_cast<int>(conns.size());
    auto level = party_level(players);
    // Everybody starts on the message of the second key and sends the first,
    // whose answer is any other message: no frame but its own can answer it.
    for (int k = 0; k < players; ++k) {
        Player& p = *player_by_number(*level, k);
        p.hp = p.max_hp = 1000000000;
        copy_text(p.message, WAITING[1].answer);
    }
    pen_in(*level, players);
    // The loading player's message says so; its second key puts it right.
    if (!write_save(server, *level) || !conns[0].send("L") || conns[0].frame_with("Game loaded").empty()
        || !conns[0].send(WAITING[1].key) || conns[0].frame_with(WAITING[1].answer).empty())
        return false;
    for (auto& c : conns) {
        c.drain();
        c.next_key = 0;
    }
    return true;
}

bool run_phases(ServerProcess& server, std::vector<Conn>& conns, double seconds, const Key (&keys)[2])
{
    for (int n = 1; n <= 4; ++n) {
        conns.emplace_back(connect_to(server.port()));
        if (!join(conns.back(), "load" + std::to_string(n))) {
            std::fprintf(stderr, "client %d could not join\n", n);
            return false;
        }
        for (auto& c : conns)
            c.drain();
        if (keys[0].any_change && !load_undying_party(server, conns)) {
            std::fprintf(stderr, "the party could not load its level\n");
            return false;
        }
        Budget budget;
        budget.stop = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        Phase p = run_closed_loop(conns, budget, keys);
        std::printf("clients=%d commands=%lld rate=%.0f/s %s\n", n, p.commands,
                    static_cast<double>(p.commands) / p.seconds, latency_text(p).c_str());
        std::fflush(stdout);
    }
    return true;
}

void churn(int port, int cycles, int garbage_conns)
{
    for (int i = 0; i < cycles; ++i) {
        Conn c(connect_to(port));
        if (i % 2)
            c.until("Select: ", 2000);
    }
    std::string garbage(4096, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 131 + 7) % 256);
    for (int i = 0; i < garbage_conns; ++i) {
        Conn c(connect_to(port));
        c.send(garbage);
        c.until("\x01never", 20);
    }
}

// Short and garbage connections must leave no descriptor or thread behind,
// and the server must still serve its one remaining client and a newcomer.
bool check_churn(ServerProcess& server, Conn& remaining)
{
    int fds = server.open_fds();
    int tasks = server.threads();
    auto t0 = Clock::now();
    churn(server.port(), 1000, 100);
    double churn_s = std::chrono::duration<double>(Clock::now() - t0).count();
    for (int i = 0; i < 100 && (server.open_fds() != fds || server.threads() != tasks); ++i)
        std::this_thread::sleep_for(milliseconds(50));
    std::printf("churn: 1000 connect/disconnect + 100 garbage connections in %.1f s; fds %d -> %d, threads %d -> %d\n",
                churn_s, fds, server.open_fds(), tasks, server.threads());
    remaining.send("c");
    bool serving = !remaining.until("You know no spells.").empty();
    Conn late(connect_to(server.port()));
    serving = serving && join(late, "late");
    std::printf("still serving after churn: %s\n", serving ? "yes" : "NO");
    return serving;
}

bool phases_and_churn(const std::string& program, double seconds, bool wait_keys)
{
    ServerProcess server(program);
    if (!server.listening()) {
        std::fprintf(stderr, "%s did not start listening\n", program.c_str());
        return false;
    }
    std::printf("keys: %s, %.1f s per phase\n",
                wait_keys ? "'5'/'c' (world step on every other key)" : "'c'/'a' (refusals)", seconds);
    std::vector<Conn> conns;
    if (!run_phases(server, conns, seconds, wait_keys ? WAITING : REFUSALS))
        return false;
    std::printf("server peak RSS (VmHWM): %s\n", server.peak_rss().c_str());
    conns.resize(1);
    server.wait_for_reports(3);
    bool serving = check_churn(server, conns[0]);
    std::printf("server peak RSS after churn (VmHWM): %s\n", server.peak_rss().c_str());
    // Three clients left after the phases; the newcomer and the last client now.
    conns.clear();
    server.wait_for_reports(5);
    std::printf("server lock stats %s\nserver lock stats %s\n", server.lock_stats("command").c_str(),
                server.lock_stats("broadcast").c_str());
    return serving;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && argv[1][0] == '-') {
        std::fprintf(stderr,
                     "usage: %s [<tuned_server> [seconds per phase [refuse|wait [commands per scene [scenes]]]]]\n",
                     argv[0]);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // Each server runs in a scratch directory, so a relative path must be resolved first.
    char program[PATH_MAX];
    const char* given = argc > 1 ? argv[1] : DEFAULT_SERVER;
    if (!realpath(given, program)) {
        std::perror(given);
        return 1;
    }
    double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    bool wait_keys = argc > 3 && std::string(argv[3]) == "wait";
    long commands = argc > 4 ? std::atol(argv[4]) : 500;
    std::string scenes = argc > 5 ? argv[5] : "";
    // Other work on the machine shows in every figure; say how much there was.
    std::string load_average;
    std::getline(std::ifstream("/proc/loadavg"), load_average);
    std::printf("machine: %u CPUs, load average %s\n", std::thread::hardware_concurrency(), load_average.c_str());
    bool ok = seconds <= 0 || phases_and_churn(program, seconds, wait_keys);
    ok = load::run_scenes(program, commands, scenes) && ok;
    return ok ? 0 : 1;
}
