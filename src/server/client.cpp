// One connection of the server: the welcome, login and naming dialogue, the
// join, the command loop, the dead player's wait and the leave sequence.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <poll.h>
#include <string>

#include "accounts/accounts.hpp"
#include "config/config.hpp"
#include "input/network.hpp"
#include "rules/monsters.hpp"
#include "rules/movement.hpp"
#include "rules/projectiles.hpp"
#include "server/server.hpp"
#include "server/server_internal.hpp"
#include "world/character.hpp"
#include "world/chat.hpp"
#include "world/dungeon.hpp"
#include "world/effects.hpp"

namespace {
using Clock = std::chrono::steady_clock;

constexpr const char* MENU_TEXT = "\n--- gLOOMhOLD RogueLike ---\n\nL. Login\nR. Register\n\nSelect: ";
constexpr const char* NAME_PROMPT = "\nEnter your chat username: ";
constexpr const char* FULL_TEXT = "Server full. Disconnecting.\n";
constexpr const char* CHAT_PROMPT = "Enter message: ";
constexpr const char* GOODBYE_TEXT = "Thank you for playing. Disconnecting.\n";

constexpr std::size_t KEY_READ_MAX = 127;
constexpr std::size_t MENU_READ_MAX = 127;
constexpr std::size_t NAME_READ_MAX = 63;
constexpr std::size_t CHAT_READ_MAX = 255;
constexpr auto DEAD_WAIT = std::chrono::seconds(10);

// Releases the connection's pre-join entry; destroyed before the socket
// closes, so the watchdog never touches a descriptor that was reused.
class PreJoinGuard {
public:
    explicit PreJoinGuard(int fd) : m_fd(fd) {}
    ~PreJoinGuard() { release(); }
    PreJoinGuard(const PreJoinGuard&) = delete;
    PreJoinGuard& operator=(const PreJoinGuard&) = delete;
    void release()
    {
        if (m_fd >= 0)
            prejoin_release(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// One read of at most max bytes, taken as a C string cut at the first line
// feed; none at end of input or on an error.
std::optional<std::string> read_line(int fd, std::size_t max)
{
    char buf[CHAT_READ_MAX + 1];
    ssize_t n = read_some(fd, buf, std::min(max, CHAT_READ_MAX));
    if (n <= 0)
        return std::nullopt;
    std::string line(buf, static_cast<std::size_t>(n));
    std::size_t end = std::min(line.find('\0'), line.find('\n'));
    if (end < line.size())
        line.resize(end);
    return line;
}

bool is_white(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The first byte that is not white space, or 0; the rest of the read is dropped.
char key_of(const char* buf, ssize_t n)
{
    for (ssize_t i = 0; i < n; ++i)
        if (!is_white(buf[i]))
            return buf[i];
    return 0;
}

// The menu until the client picks login (after registering, if asked).
bool run_menu(int fd)
{
    for (;;) {
        if (!write_all(fd, MENU_TEXT))
            return false;
        std::optional<std::string> line = read_line(fd, MENU_READ_MAX);
        if (!line)
            return false;
        char c = line->empty() ? '\0' : (*line)[0];
        if (c == 'L' || c == 'l')
            return true;
        if (c == 'R' || c == 'r') {
            register_user(fd);
            return true;
        }
    }
}

std::optional<std::string> ask_chat_name(int fd)
{
    if (!write_all(fd, NAME_PROMPT))
        return std::nullopt;
    std::optional<std::string> line = read_line(fd, NAME_READ_MAX);
    if (!line)
        return std::nullopt;
    // The name reaches every screen: no control bytes from the client.
    std::string name = sanitize_text(*line);
    if (name.size() > NAME_READ_MAX)
        name.resize(NAME_READ_MAX);
    return name;
}

void announce_join(const std::string& name)
{
    char text[CHAT_LINE_LEN];
    std::snprintf(text, sizeof text, "\x1b[9D%s\x1b[30C has entered the dungeon.", name.c_str());
    std::lock_guard<std::mutex> lock(game_mutex());
    add_chat_message(server_game(), "[SERVER] ", text);
}

void create_joined_character(int fd)
{
    std::lock_guard<std::mutex> lock(game_mutex());
    int slot = find_client_slot(fd);
    set_output_fd(fd);
    if (slot >= 0)
        create_character(server_game(), fd, slot);
    set_output_fd(-1);
}

bool anyone_joined()
{
    std::lock_guard<std::mutex> lock(game_mutex());
    return client_tables().client_count >= 1;
}

bool anyone_alive(const Game& game)
{
    if (game.player.alive)
        return true;
    for (int i = 0; i < others_limit(game); ++i)
        if (game.others[i].alive)
            return true;
    return false;
}

enum class Standing { Playing, Dead, Gone };

// Where this connection stands before its next command; the slot may have
// moved since the last one.
Standing standing_of(int fd)
{
    std::lock_guard<std::mutex> lock(game_mutex());
    Game& game = server_game();
    if (!anyone_alive(game))
        return Standing::Gone;
    int slot = find_client_slot(fd);
    if (slot < 0)
        return Standing::Gone;
    return player_by_number(game, slot)->alive ? Standing::Playing : Standing::Dead;
}

void world_round(Game& game)
{
    monsters_turn(game);
    update_projectiles(game);
    update_effects(game);
}

void move_followers(Game& game)
{
    int n = std::clamp(client_tables().client_count, 0, MAX_CLIENTS);
    for (int k = 1; k < n; ++k) {
        const Player* p = player_by_number(game, k);
        if (p && p->alive && p->auto_follow)
            follow_step(game, k);
    }
    update_visibility(game);
}

// The help pause and the shop dialogue are long by design; they would
// swamp the figure for ordinary commands.
bool ordinary_key(char key) { return key != '?' && key != 's'; }

// One key under the lock, then everybody's frame. False when this
// connection is no longer in the tables.
bool handle_command(int fd, char key)
{
    {
        std::lock_guard<std::mutex> lock(game_mutex());
        auto start = Clock::now();
        // Looked up again here, after the read: a client that left while
        // this one was waiting has shifted the slots.
        int slot = find_client_slot(fd);
        if (slot < 0)
            return false;
        Game& game = server_game();
        int turn_before = game.turn;
        set_output_fd(fd);
        handle_player_key(game, key, slot);
        if (game.turn > turn_before) {
            world_round(game);
            world_round(game);
            if (slot == 0)
                move_followers(game);
        }
        set_output_fd(-1);
        if (ordinary_key(key))
            record_lock_time(LockSection::Command, Clock::now() - start);
    }
    render_all_clients();
    return true;
}

bool handle_chat(int fd)
{
    if (!write_all(fd, CHAT_PROMPT))
        return false;
    std::optional<std::string> line = read_line(fd, CHAT_READ_MAX);
    if (!line)
        return false;
    std::string text = sanitize_text(*line);
    {
        std::lock_guard<std::mutex> lock(game_mutex());
        int slot = find_client_slot(fd);
        if (slot < 0)
            return false;
        add_chat_message(server_game(), client_tables().client_names[slot], text);
    }
    render_all_clients();
    return true;
}

// A dead player may watch for up to ten seconds or leave at once with 'q'.
void dead_player_wait(int fd)
{
    auto deadline = Clock::now() + DEAD_WAIT;
    char buf[KEY_READ_MAX];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return;
        struct pollfd p { fd, POLLIN, 0 };
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            return;
        ssize_t n = read_some(fd, buf, sizeof buf);
        if (n <= 0 || key_of(buf, n) == 'q')
            return;
    }
}

void command_loop(int fd)
{
    char buf[KEY_READ_MAX];
    for (;;) {
        Standing s = standing_of(fd);
        if (s == Standing::Gone)
            return;
        if (s == Standing::Dead) {
            dead_player_wait(fd);
            return;
        }
        ssize_t n = read_some(fd, buf, sizeof buf);
        if (n <= 0)
            return;
        char key = key_of(buf, n);
        bool stays = key == '/' ? handle_chat(fd) : handle_command(fd, key);
        if (!stays || !anyone_joined())
            return;
    }
}

void leave(int fd)
{
    write_all(fd, GOODBYE_TEXT);
    remove_client_by_fd(fd);
    render_all_clients();
}
}  // namespace

void client_thread(UniqueFd sock)
{
    int fd = sock.get();
    PreJoinGuard prejoin_entry(fd);
    auto disconnect = [fd] { write_all(fd, GOODBYE_TEXT); };

    write_all(fd, welcome_message());
    if (!run_menu(fd) || !login_user(fd)) {
        disconnect();
        return;
    }
    std::optional<std::string> name = ask_chat_name(fd);
    if (!name) {
        disconnect();
        return;
    }
    if (join_server_game(fd, name->c_str()) < 0) {
        write_all(fd, FULL_TEXT);
        disconnect();
        return;
    }
    prejoin_entry.release();

    announce_join(*name);
    create_joined_character(fd);
    render_all_clients();
    {
        std::lock_guard<std::mutex> lock(game_mutex());
        set_output_fd(-1);
    }
    render_all_clients();
    if (anyone_joined())
        command_loop(fd);
    leave(fd);
}
