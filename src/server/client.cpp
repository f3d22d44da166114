// One connection of the server: the welcome, login, naming and class
// dialogue, the join, the command loop, the dead player's wait and the leave
// sequence. Nothing here waits on the client, or on anyone, with game_mutex
// held: answers are read first, then the lock is taken and the world checked.
#include <algorithm>
#include <chrono>
#include <climits>
#include <memory>
#include <optional>
#include <string>

#include "accounts/accounts.hpp"
#include "config/config.hpp"
#include "input/network.hpp"
#include "log/log.hpp"
#include "rules/monsters.hpp"
#include "rules/movement.hpp"
#include "rules/projectiles.hpp"
#include "server/client_output.hpp"
#include "server/server.hpp"
#include "server/server_internal.hpp"
#include "term/line_reader.hpp"
#include "text/sanitize.hpp"
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

constexpr std::size_t MENU_READ_MAX = 127;
constexpr std::size_t NAME_READ_MAX = 63;
constexpr std::size_t CHAT_READ_MAX = 255;
constexpr std::size_t ANSWER_READ_MAX = 127;
// How long the goodbye text may take to reach a leaving client.
constexpr auto GOODBYE_LINGER = std::chrono::seconds(10);

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

// A joined client: its socket, what it types and what it is sent, and who
// it is in the log.
struct Connection {
    int fd;
    LineReader& in;
    ClientOutput& out;
    const std::string& peer;
    const std::string& name;
};

enum class LeaveReason { Closed, Quit, Death };

// Ends a hold of the client's frames when it goes out of scope.
class HoldGuard {
public:
    explicit HoldGuard(ClientOutput& out) : m_out(out) {}
    ~HoldGuard() { m_out.end_hold(); }
    HoldGuard(const HoldGuard&) = delete;
    HoldGuard& operator=(const HoldGuard&) = delete;

private:
    ClientOutput& m_out;
};

Deadline answer_deadline() { return Clock::now() + server_limits().answer; }

bool is_white(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The first byte that is not white space, or 0; the rest of the read is dropped.
char key_of(std::string_view chunk)
{
    auto key = std::find_if(chunk.begin(), chunk.end(), [](char c) { return !is_white(c); });
    return key == chunk.end() ? '\0' : *key;
}

// The first byte of an answer line, as a dialogue reading one key takes it.
int answer_key(const std::string& line)
{
    return line.empty() ? '\n' : static_cast<unsigned char>(line[0]);
}

// Account outcomes for the log. Never a password; and a name the server did
// not know may be a password typed one prompt early, so it stays out.
void log_account(const char* what, const std::string& peer, const AccountResult& result)
{
    const char* outcome = outcome_text(result.outcome);
    if (result.outcome == AccountOutcome::Done)
        log_event("%s %s %s ok", what, peer.c_str(), log_quote(result.name).c_str());
    else if (result.outcome == AccountOutcome::UnknownName || result.outcome == AccountOutcome::NoAnswer)
        log_event("%s %s failed: %s", what, peer.c_str(), outcome);
    else
        log_event("%s %s %s failed: %s", what, peer.c_str(), log_quote(result.name).c_str(), outcome);
}

// The menu until the client picks login (after registering, if asked).
bool run_menu(int fd, LineReader& in, const std::string& peer)
{
    std::string line;
    for (;;) {
        if (!write_all(fd, MENU_TEXT) || !in.read_line(line, MENU_READ_MAX))
            return false;
        char c = line.empty() ? '\0' : line[0];
        if (c == 'L' || c == 'l')
            return true;
        if (c == 'R' || c == 'r') {
            log_account("register", peer, register_user(fd, in));
            return true;
        }
    }
}

std::optional<std::string> ask_chat_name(int fd, LineReader& in)
{
    std::string line;
    if (!write_all(fd, NAME_PROMPT) || !in.read_line(line, NAME_READ_MAX))
        return std::nullopt;
    // The name reaches every screen: no control bytes from the client.
    return sanitize_text(line);
}

// The class menu and its answer, before the client takes a slot, so the
// party neither waits for the choice nor can reach an unready player. The
// key, -1 when no answer came in time (the player then joins without a
// class, as after a wrong key), none when the client has gone.
std::optional<int> ask_class(int fd, LineReader& in)
{
    std::string menu = "\x1b[H\x1b[J" + class_menu_text();
    if (!write_all(fd, menu))
        return std::nullopt;
    Deadline deadline = answer_deadline();
    std::string line;
    if (in.read_line(line, ANSWER_READ_MAX, deadline))
        return answer_key(line);
    if (Clock::now() >= *deadline)
        return -1;
    return std::nullopt;
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

// What a command is measured against: did it take time?
struct TurnMark {
    int turn;
    std::uint64_t counted;
};

TurnMark mark_turn(const Game& game) { return { game.turn, turns_counted() }; }

// The world moves when the turn count grew (not after a descent, whose new
// level starts counting again), or would have grown but sits at its limit.
bool took_turn(const Game& game, TurnMark before)
{
    if (game.turn > before.turn)
        return true;
    return game.turn == INT_MAX && before.turn == INT_MAX && turns_counted() != before.counted;
}

// After a command that took a turn the world moves twice, and the followers
// go after a leader who acted.
void after_command(Game& game, int slot, TurnMark before)
{
    if (!took_turn(game, before))
        return;
    world_round(game);
    world_round(game);
    if (slot == 0)
        move_followers(game);
}

// One action of this client's player, under game_mutex held by the caller,
// with its screen output routed to the client; then the world's answer.
// False when the client is no longer in the tables: a client that left
// while this one was reading has shifted the slots, so it is looked up here.
template <typename Action>
bool act(const Connection& c, Action action)
{
    int slot = find_client_slot(c.fd);
    if (slot < 0)
        return false;
    note_input_locked(slot);
    Game& game = server_game();
    TurnMark before = mark_turn(game);
    set_output_fd(c.fd);
    action(game, slot);
    after_command(game, slot, before);
    set_output_fd(-1);
    return true;
}

// The help pause and the shop's offer end their command early; they would
// skew the figure for ordinary commands.
bool ordinary_key(char key) { return key != '?' && key != 's'; }

// The shop's answer, read without the lock; the world may have changed
// meanwhile, which answer_shop checks before anything is bought.
bool finish_shop(Connection& c, const ShopOffer& offer)
{
    std::string line;
    int answer = c.in.read_line(line, ANSWER_READ_MAX, answer_deadline()) ? answer_key(line) : -1;
    FrameWakes wakes;
    std::lock_guard<std::mutex> lock(game_mutex());
    // The hold ends after the new frame is queued, so that the frame kept
    // back meanwhile is replaced rather than shown first.
    HoldGuard hold(c.out);
    bool stays = act(c, [&](Game& game, int slot) { answer_shop(game, *player_by_number(game, slot), offer, answer); });
    if (stays)
        broadcast_locked(wakes);
    return stays;
}

// One key under the lock, then everybody's frame; a key that opened the
// shop leaves the lock with the offer shown and the answer still to come.
// False when this connection is no longer in the tables.
bool run_key(Connection& c, char key, OpenDialogue& open)
{
    FrameWakes wakes;
    std::lock_guard<std::mutex> lock(game_mutex());
    auto start = Clock::now();
    if (!act(c, [&](Game& game, int slot) { handle_player_key(game, key, slot, open); }))
        return false;
    if (open.shop) {
        // Under the lock, so that no frame comes between the offer and the
        // hold to erase the offer while the player answers it.
        c.out.begin_hold();
        return true;
    }
    broadcast_locked(wakes);
    if (ordinary_key(key))
        record_lock_time(LockSection::Command, Clock::now() - start);
    return true;
}

bool handle_command(Connection& c, char key)
{
    OpenDialogue open;
    if (!run_key(c, key, open))
        return false;
    return !open.shop || finish_shop(c, open.offer);
}

// While the player types, other players' frames wait behind the prompt
// rather than erase it and the text typed so far.
bool handle_chat(Connection& c)
{
    c.out.begin_hold(CHAT_PROMPT);
    std::string line;
    bool got = c.in.read_line(line, CHAT_READ_MAX);
    std::string text = sanitize_text(line);
    FrameWakes wakes;
    std::lock_guard<std::mutex> lock(game_mutex());
    HoldGuard hold(c.out);
    int slot = find_client_slot(c.fd);
    if (!got || slot < 0)
        return false;
    note_input_locked(slot);
    add_chat_message(server_game(), client_tables().client_names[slot], text);
    broadcast_locked(wakes);
    return true;
}

// A dead player may watch for a while or leave at once with 'q'.
void dead_player_wait(Connection& c)
{
    Deadline deadline = Clock::now() + server_limits().dead_wait;
    std::string chunk;
    while (c.in.read_chunk(chunk, deadline))
        if (key_of(chunk) == 'q')
            return;
}

LeaveReason command_loop(Connection& c)
{
    std::string chunk;
    bool quit = false;  // the last key was 'q', which ends one's own character
    for (;;) {
        Standing s = standing_of(c.fd);
        if (s == Standing::Gone)
            return quit ? LeaveReason::Quit : LeaveReason::Death;
        if (s == Standing::Dead) {
            dead_player_wait(c);
            return quit ? LeaveReason::Quit : LeaveReason::Death;
        }
        if (!c.in.read_chunk(chunk))
            return LeaveReason::Closed;
        char key = key_of(chunk);
        quit = key == 'q';
        // A client still in the tables keeps the count at one at least, and
        // only its own thread takes it out.
        bool stays = key == '/' ? handle_chat(c) : handle_command(c, key);
        if (!stays)
            return LeaveReason::Closed;
    }
}

std::string leave_text(LeaveReason reason, const ClientOutput& out)
{
    if (std::string cut = out.cut_reason(); !cut.empty())
        return "cut off: " + cut;
    switch (reason) {
    case LeaveReason::Quit: return "quit";
    case LeaveReason::Death: return "death";
    case LeaveReason::Closed: break;
    }
    return "closed";
}

void leave(Connection& c, LeaveReason reason)
{
    c.out.close_with(GOODBYE_TEXT);
    int slot = remove_client_by_fd(c.fd);
    log_event("leave %s slot %d %s %s", c.peer.c_str(), slot, log_quote(c.name).c_str(),
              leave_text(reason, c.out).c_str());
    render_all_clients();
    c.out.finish(GOODBYE_LINGER);
}

ClientOutput::Limits output_limits()
{
    ClientOutput::Limits limits;
    limits.stall = server_limits().output_stall;
    return limits;
}

// Joins with the chosen class and plays until the connection ends.
void play(Connection& c, std::shared_ptr<ClientOutput> output, int class_key, PreJoinGuard& prejoin_entry)
{
    int slot = join_with_class(c.fd, c.name, class_key, std::move(output));
    if (slot < 0) {
        log_event("full %s %s", c.peer.c_str(), log_quote(c.name).c_str());
        write_all(c.fd, FULL_TEXT);
        write_all(c.fd, GOODBYE_TEXT);
        return;
    }
    prejoin_entry.release();
    log_event("join %s slot %d %s", c.peer.c_str(), slot, log_quote(c.name).c_str());
    if (!c.out.start()) {
        // Without a writer nothing reaches the client; it leaves at once.
        remove_client_by_fd(c.fd);
        log_event("leave %s slot %d %s no output thread", c.peer.c_str(), slot, log_quote(c.name).c_str());
        render_all_clients();
        return;
    }
    // A join redraws everybody twice, the newcomer included.
    render_all_clients();
    render_all_clients();
    leave(c, command_loop(c));
}
}  // namespace

void client_thread(UniqueFd sock, std::string peer, Transport transport)
{
    int fd = sock.get();
    PreJoinGuard prejoin_entry(fd);
    LineReader in(fd, transport == Transport::Browser ? LineReader::Peer::Browser : LineReader::Peer::Telnet);
    auto disconnect = [fd] { write_all(fd, GOODBYE_TEXT); };

    write_all(fd, welcome_message());
    if (!run_menu(fd, in, peer)) {
        disconnect();
        return;
    }
    AccountResult login = login_user(fd, in);
    log_account("login", peer, login);
    if (login.outcome != AccountOutcome::Done) {
        disconnect();
        return;
    }
    std::optional<std::string> name = ask_chat_name(fd, in);
    std::optional<int> class_key = name ? ask_class(fd, in) : std::nullopt;
    if (!class_key) {
        disconnect();
        return;
    }
    // Shared with the frame wakes of other clients' threads, which may
    // still hold it for a moment after this client has left.
    auto out = std::make_shared<ClientOutput>(fd, output_limits());
    Connection c { fd, in, *out, peer, *name };
    play(c, out, *class_key, prejoin_entry);
}
