// The shared world of the server: the one lock, the client tables, joining,
// the broadcast of a frame to every client and the removal of a leaver.
#include "server/server.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "render/render.hpp"
#include "server/client_output.hpp"
#include "server/server_internal.hpp"
#include "world/character.hpp"
#include "world/chat.hpp"
#include "world/dungeon.hpp"
#include "world/items.hpp"

namespace {
std::mutex g_game_mutex;
ClientTables g_tables {};
// Beside client_fds: the output queue of each client slot, moved with it.
std::shared_ptr<ClientOutput> g_outputs[MAX_CLIENTS] {};
ServerLimits g_limits {};
// Beside client_fds: when each client slot last sent a command or a chat line.
std::chrono::steady_clock::time_point g_last_input[MAX_CLIENTS] {};

constexpr const char* PARTY_COLOR = "\x1b[36m";

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
        g_outputs[i] = g_outputs[i + 1];
        g_last_input[i] = g_last_input[i + 1];
        std::memcpy(g_tables.client_names[i], g_tables.client_names[i + 1], sizeof g_tables.client_names[i]);
    }
    g_tables.client_fds[n - 1] = -1;
    g_outputs[n - 1] = nullptr;
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

int join_locked(int fd, std::string_view name)
{
    int n = joined_count();
    if (n >= MAX_CLIENTS)
        return -1;
    g_tables.client_fds[n] = fd;
    g_outputs[n] = nullptr;
    g_last_input[n] = std::chrono::steady_clock::now();
    copy_text(g_tables.client_names[n], name);
    g_tables.client_count = n + 1;
    Game& game = server_game();
    if (n == 0)
        generate_level(game);
    else
        prepare_joining_player(game, n);
    return n;
}

void announce_join(std::string_view name)
{
    char text[CHAT_LINE_LEN];
    std::snprintf(text, sizeof text, "\x1b[9D%.*s\x1b[30C has entered the dungeon.", static_cast<int>(name.size()),
                  name.data());
    add_chat_message(server_game(), "[SERVER] ", text);
}

ClientOutput* output_for_fd(int fd)
{
    int slot = find_client_slot(fd);
    return slot >= 0 ? g_outputs[slot].get() : nullptr;
}

void route_write(int fd, std::string_view bytes)
{
    if (ClientOutput* out = output_for_fd(fd))
        out->push_text(bytes);
}

void route_pause(int fd, std::string_view screen, int ms)
{
    if (ClientOutput* out = output_for_fd(fd))
        out->push_pause(screen, std::chrono::milliseconds(ms));
}
}  // namespace

std::mutex& game_mutex() { return g_game_mutex; }
ClientTables& client_tables() { return g_tables; }
void set_server_limits(const ServerLimits& limits) { g_limits = limits; }
const ServerLimits& server_limits() { return g_limits; }

void install_screen_route() { set_screen_route({ route_write, route_pause }); }

int find_client_slot(int fd)
{
    int n = joined_count();
    for (int i = 0; i < n; ++i)
        if (g_tables.client_fds[i] == fd)
            return i;
    return -1;
}

void note_input_locked(int slot)
{
    if (slot >= 0 && slot < MAX_CLIENTS)
        g_last_input[slot] = std::chrono::steady_clock::now();
}

ServerStatus server_status()
{
    using std::chrono::duration_cast;
    using std::chrono::seconds;
    ServerStatus status;
    auto now = std::chrono::steady_clock::now();
    status.logging_in = prejoin_count();
    status.uptime_s = duration_cast<seconds>(now - server_started()).count();
    std::lock_guard<std::mutex> lock(g_game_mutex);
    Game& game = server_game();
    int n = joined_count();
    for (int i = 0; i < n; ++i) {
        const Player& p = *player_by_number(game, i);
        status.seats.push_back({ g_tables.client_names[i], p.player_class, game.level, p.hp, p.max_hp,
                                 p.alive ? "playing" : "dead", duration_cast<seconds>(now - g_last_input[i]).count() });
    }
    return status;
}

int join_server_game(int fd, const char* name)
{
    std::lock_guard<std::mutex> lock(g_game_mutex);
    return join_locked(fd, name ? std::string_view(name) : std::string_view());
}

int join_with_class(int fd, std::string_view name, int class_key, std::shared_ptr<ClientOutput> output)
{
    std::lock_guard<std::mutex> lock(g_game_mutex);
    int slot = join_locked(fd, name);
    if (slot < 0)
        return -1;
    g_outputs[slot] = std::move(output);
    announce_join(name);
    apply_class_choice(server_game(), slot, class_key);
    return slot;
}

FrameWakes::~FrameWakes()
{
    for (std::size_t i = 0; i < m_count; ++i)
        m_outputs[i]->wake();
}

void FrameWakes::add(std::shared_ptr<ClientOutput> output)
{
    if (m_count < m_outputs.size())
        m_outputs[m_count++] = std::move(output);
    else
        output->wake();
}

// Only builds each frame and hands it over: the client's own writer sends
// it, so no socket is written while the lock is held.
void broadcast_locked(FrameWakes& wakes)
{
    auto start = std::chrono::steady_clock::now();
    // One buffer per broadcasting thread; handing a frame over gives back a
    // spare one, so after the first frames nothing is allocated.
    thread_local std::string frame;
    Game& game = server_game();
    int n = joined_count();
    for (int i = 0; i < n; ++i) {
        if (g_tables.client_fds[i] <= 0 || !g_outputs[i])
            continue;
        frame.clear();
        build_frame(game, *player_by_number(game, i), i, frame);
        g_outputs[i]->push_frame(frame, ClientOutput::Wake::Later);
        wakes.add(g_outputs[i]);
    }
    record_lock_time(LockSection::Broadcast, std::chrono::steady_clock::now() - start);
}

void render_all_clients()
{
    FrameWakes wakes;
    std::lock_guard<std::mutex> lock(g_game_mutex);
    broadcast_locked(wakes);
}

void remove_client(int slot)
{
    std::lock_guard<std::mutex> lock(g_game_mutex);
    remove_client_locked(slot);
}

int remove_client_by_fd(int fd)
{
    std::string stats;
    int slot = -1;
    {
        std::lock_guard<std::mutex> lock(g_game_mutex);
        slot = find_client_slot(fd);
        if (slot >= 0)
            remove_client_locked(slot);
        stats = lock_stats_report();
    }
    // Standard error may be a pipe nobody reads; nobody waits on it but us.
    if (!stats.empty())
        std::fputs(stats.c_str(), stderr);
    return slot;
}
