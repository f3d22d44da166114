// The shared world of the server: the one lock, the client tables, joining,
// the broadcast of a frame to every client and the removal of a leaver.
#include "server/server.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>

#include "render/render.hpp"
#include "server/server_internal.hpp"
#include "world/chat.hpp"
#include "world/dungeon.hpp"
#include "world/items.hpp"

namespace {
std::mutex g_game_mutex;
ClientTables g_tables {};

constexpr const char* PARTY_COLOR = "\x1b[36m";

// A frame that cannot be delivered within this time marks a stuck client.
constexpr int FRAME_SEND_LIMIT_MS = 2000;

int joined_count()
{
    return std::clamp(g_tables.client_count, 0, MAX_CLIENTS);
}

// The column for a player offset columns beside the leader: to the right
// while that stays on the map, mirrored to the left otherwise.
int beside_leader_x(int leader_x, int offset)
{
    int x = leader_x + offset;
    if (x > MAP_WIDTH - 1)
        x = leader_x - offset;
    return std::clamp(x, 0, MAP_WIDTH - 1);
}

void prepare_joining_player(Game& game, int n)
{
    Player& p = game.others[n - 1];
    p.x = beside_leader_x(game.player.x, 2 * n);
    p.y = std::clamp(game.player.y, 0, MAP_HEIGHT - 1);
    p.alive = 1;
    p.hp = 100;
    p.max_hp = 100;
    p.glyph = '&';
    copy_text(p.color, PARTY_COLOR);
    p.message[0] = '\0';
    game.other_count = n;
}

// Sends the whole frame within FRAME_SEND_LIMIT_MS in total, however slowly
// the peer drains it; false when it could not.
bool send_frame(int fd, std::string_view data)
{
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(FRAME_SEND_LIMIT_MS);
    while (!data.empty()) {
        ssize_t n = send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        struct pollfd p { fd, POLLOUT, 0 };
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR)
            return false;
    }
    return true;
}

// Takes slot s out of the tables and the player slots. game_mutex is held.
void remove_client_locked(int s)
{
    Game& game = server_game();
    const char* name = (s >= 0 && s < MAX_CLIENTS) ? g_tables.client_names[s] : "Unknown";
    char text[CHAT_LINE_LEN];
    std::snprintf(text, sizeof text, "\x1b[8D%.63s\x1b[30C has left the dungeon.", name);
    add_chat_message(game, "[SERVER]", text);

    int n = joined_count();
    if (s < 0 || s >= n)
        return;
    for (int i = s; i + 1 < n; ++i) {
        g_tables.client_fds[i] = g_tables.client_fds[i + 1];
        std::memcpy(g_tables.client_names[i], g_tables.client_names[i + 1], sizeof g_tables.client_names[i]);
    }
    g_tables.client_fds[n - 1] = -1;
    std::memset(g_tables.client_names[n - 1], 0, sizeof g_tables.client_names[n - 1]);
    g_tables.client_count = n - 1;

    if (g_tables.client_count >= 1) {
        // Nobody else holds the leaver's items; the record that replaces
        // them would otherwise strand them on the heap.
        free_inventory(*player_by_number(game, s));
        for (int i = s; i + 1 < n; ++i)
            *player_by_number(game, i) = *player_by_number(game, i + 1);
        std::memset(static_cast<void*>(player_by_number(game, n - 1)), 0, sizeof(Player));
        if (s == 0) {
            game.player.glyph = '@';
            copy_text(game.player.color, PARTY_COLOR);
        }
    }
    game.other_count = std::max(g_tables.client_count, 1) - 1;
}
}  // namespace

std::mutex& game_mutex() { return g_game_mutex; }
ClientTables& client_tables() { return g_tables; }

int find_client_slot(int fd)
{
    int n = joined_count();
    for (int i = 0; i < n; ++i)
        if (g_tables.client_fds[i] == fd)
            return i;
    return -1;
}

int join_server_game(int fd, const char* name)
{
    std::lock_guard<std::mutex> lock(g_game_mutex);
    int n = joined_count();
    if (n >= MAX_CLIENTS)
        return -1;
    g_tables.client_fds[n] = fd;
    copy_text(g_tables.client_names[n], name ? std::string_view(name) : std::string_view());
    g_tables.client_count = n + 1;
    Game& game = server_game();
    if (n == 0)
        generate_level(game);
    else
        prepare_joining_player(game, n);
    return n;
}

void render_all_clients()
{
    std::lock_guard<std::mutex> lock(g_game_mutex);
    auto start = std::chrono::steady_clock::now();
    // One buffer for every frame of the process: the lock serialises its use.
    static std::string frame;
    Game& game = server_game();
    int n = joined_count();
    for (int i = 0; i < n; ++i) {
        int fd = g_tables.client_fds[i];
        if (fd <= 0)
            continue;
        int saved = output_fd();
        set_output_fd(fd);
        frame.clear();
        build_frame(game, *player_by_number(game, i), i, frame);
        // A stuck or vanished client must not hold everybody: its own
        // thread sees the shutdown as end of input and leaves.
        if (!send_frame(fd, frame))
            shutdown(fd, SHUT_RDWR);
        set_output_fd(saved);
    }
    record_lock_time(LockSection::Broadcast, std::chrono::steady_clock::now() - start);
}

void remove_client(int slot)
{
    std::lock_guard<std::mutex> lock(g_game_mutex);
    remove_client_locked(slot);
}

void remove_client_by_fd(int fd)
{
    std::lock_guard<std::mutex> lock(g_game_mutex);
    int slot = find_client_slot(fd);
    if (slot >= 0)
        remove_client_locked(slot);
    report_lock_stats();
}
