// One connection of the server: the welcome, login, naming and class
// dialogue, the join, the command loop, the dead player's wait and the leave
// sequence. Nothing here waits on the client, or on anyone, with game_mutex
// held: answers are read first, then the lock is taken and the world checked.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "accounts/accounts.hpp"
#include "config/config.hpp"
#include "input/network.hpp"
#include "log/log.hpp"
#include "records/recorder.hpp"
#include "rules/monsters.hpp"
#include "rules/movement.hpp"
#include "rules/projectiles.hpp"
#include "save/save.hpp"
#include "server/client_output.hpp"
#include "server/keeper.hpp"
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
// Wrong answers to the menu before the connection is let go.
constexpr int MENU_ANSWERS_MAX = 20;
// The goodbye of a connection that never joined may take this long beyond
// its time limit.
constexpr auto GOODBYE_GRACE = std::chrono::milliseconds(500);
constexpr const char* CHAT_PROMPT = "Enter message: ";

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
    const std::string& account;
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

// Why a connection ended before it joined, for the log.
enum class Refusal { Gone, WrongAnswers, LoginFailed, Full, TooManyWatchers, Watched };

const char* refusal_text(Refusal why)
{
    switch (why) {
    case Refusal::WrongAnswers: return "too many wrong answers";
    case Refusal::LoginFailed: return "login failed";
    case Refusal::Full: return "server full";
    case Refusal::TooManyWatchers: return "too many watchers";
    case Refusal::Gone:
    case Refusal::Watched: break;
    }
    return "closed";
}

// "120", "1.5": the limit as set, not rounded to whole seconds.
std::string seconds_text(std::chrono::milliseconds ms)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", static_cast<double>(ms.count()) / 1000.0);
    return text;
}

// The goodbye and one line in the log for a connection that never joined.
void end_before_join(LineReader& in, const std::string& peer, Refusal why)
{
    bool timed_out = in.limit_passed();
    if (timed_out)
        log_event("timeout %s login not finished in %s s", peer.c_str(), seconds_text(server_limits().prejoin).c_str());
    in.set_limit(Clock::now() + GOODBYE_GRACE);
    in.write(GOODBYE_TEXT);
    log_event("close %s before joining: %s", peer.c_str(), timed_out ? "time limit" : refusal_text(why));
}

// One connection before it joins: its reader, which bounds the whole
// dialogue in time, and who it is.
struct Arrival {
    LineReader& in;
    const PeerAddress& address;
    const std::string& peer;
};

// A connection that chose to watch; none when it goes back to the menu.
std::optional<Refusal> watch(Arrival& a)
{
    switch (watch_games(a.in, a.peer)) {
    case WatchEnd::NobodyPlaying: return std::nullopt;
    case WatchEnd::TooMany: return Refusal::TooManyWatchers;
    case WatchEnd::WrongAnswers: return Refusal::WrongAnswers;
    case WatchEnd::Gone: return Refusal::Gone;
    case WatchEnd::Watched: break;
    }
    return Refusal::Watched;
}

// The menu until the client picks login (after registering, if asked) or
// has watched; W (to watch) is not in the menu's text.
std::optional<Refusal> run_menu(Arrival& a)
{
    std::string line;
    for (int answers = 0; answers < MENU_ANSWERS_MAX; ++answers) {
        if (!a.in.write(MENU_TEXT) || !a.in.read_line(line, MENU_READ_MAX))
            return Refusal::Gone;
        char c = line.empty() ? '\0' : line[0];
        if (c == 'L' || c == 'l')
            return std::nullopt;
        if (c == 'R' || c == 'r') {
            ServerKeyGate gate(a.address, a.in.limit(), Throttled::No);
            log_account("register", a.peer, register_user(a.in, &gate));
            return std::nullopt;
        }
        if (c == 'W' || c == 'w')
            if (std::optional<Refusal> watched = watch(a))
                return watched;
    }
    return Refusal::WrongAnswers;
}

// The account name once a login succeeded; one attempt per connection.
std::optional<std::string> log_in(Arrival& a, Refusal& why)
{
    ServerKeyGate gate(a.address, a.in.limit(), Throttled::Yes);
    AccountResult login = login_user(a.in, &gate);
    log_account("login", a.peer, login);
    if (login.outcome == AccountOutcome::Done)
        return login.name;
    why = login.outcome == AccountOutcome::NoAnswer ? Refusal::Gone : Refusal::LoginFailed;
    return std::nullopt;
}

std::optional<std::string> ask_chat_name(LineReader& in)
{
    std::string line;
    if (!in.write(NAME_PROMPT) || !in.read_line(line, NAME_READ_MAX))
        return std::nullopt;
    // The name reaches every screen: no control bytes from the client.
    return sanitize_text(line);
}

// A full game says so before the class menu; the join checks again, since
// the last seat may go while the class is being chosen.
bool seat_free()
{
    std::lock_guard<std::mutex> lock(game_mutex());
    return client_tables().client_count < MAX_CLIENTS;
}

// The class menu and its answer, before the client takes a slot, so the
// party neither waits for the choice nor can reach an unready player. The
// key, -1 when no answer came in time (the player then joins without a
// class, as after a wrong key), none when the client has gone or its time
// to join ran out.
std::optional<int> ask_class(LineReader& in)
{
    if (!in.write("\x1b[H\x1b[J" + class_menu_text()))
        return std::nullopt;
    Deadline deadline = answer_deadline();
    std::string line;
    if (in.read_line(line, ANSWER_READ_MAX, deadline))
        return answer_key(line);
    if (Clock::now() >= *deadline && !in.limit_passed())
        return -1;
    return std::nullopt;
}

// Who joins: the names and the class key, once the dialogue went through.
// A returning account has a seat already and is asked neither.
struct Joining {
    std::string account;
    std::string name;
    int class_key = -1;
    bool returning = false;
};

// The chat name and the class, for an account without a seat.
bool name_and_class(Arrival& a, Joining& j, Refusal& why)
{
    why = Refusal::Gone;
    std::optional<std::string> name = ask_chat_name(a.in);
    if (!name)
        return false;
    if (!seat_free()) {
        log_event("full %s %s", a.peer.c_str(), log_quote(*name).c_str());
        a.in.write(FULL_TEXT);
        why = Refusal::Full;
        return false;
    }
    std::optional<int> class_key = ask_class(a.in);
    if (!class_key)
        return false;
    j.name = std::move(*name);
    j.class_key = *class_key;
    j.returning = false;
    return true;
}

std::optional<Joining> arrive(Arrival& a, Refusal& why)
{
    why = Refusal::Gone;
    if (!a.in.write(welcome_message()))
        return std::nullopt;
    if (std::optional<Refusal> menu = run_menu(a)) {
        why = *menu;
        return std::nullopt;
    }
    std::optional<std::string> account = log_in(a, why);
    if (!account)
        return std::nullopt;
    Joining j;
    j.account = std::move(*account);
    if (account_has_seat(j.account)) {
        j.returning = true;
        return j;
    }
    if (!name_and_class(a, j, why))
        return std::nullopt;
    return j;
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
    int level = game.level;
    set_output_fd(c.fd);
    action(game, slot);
    after_command(game, slot, before);
    if (game.level != level) {
        note_level_locked();
        snapshot_wanted();
    }
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

// What a key left for the file work, copied while the lock was held.
struct FileWork {
    std::optional<PreparedSave> save;
    bool load = false;
};

// One key under the lock, then everybody's frame; a key that opened the
// shop leaves the lock with the offer shown and the answer still to come,
// and 'S' and 'L' leave it with their file work still to do.
// False when this connection is no longer in the tables.
bool run_key(Connection& c, char key, OpenDialogue& open, FileWork& work)
{
    FrameWakes wakes;
    std::lock_guard<std::mutex> lock(game_mutex());
    auto start = Clock::now();
    if (!act(c, [&](Game& game, int slot) {
            handle_player_key(game, key, slot, open);
            if (open.save)
                work.save = prepare_save(game, *player_by_number(game, slot));
        }))
        return false;
    work.load = open.load;
    if (open.shop) {
        // Under the lock, so that no frame comes between the offer and the
        // hold to erase the offer while the player answers it.
        c.out.begin_hold();
        return true;
    }
    if (ordinary_key(key))
        record_lock_time(LockSection::Command, Clock::now() - start);
    // The file work's outcome is the frame worth drawing; its status line
    // is on its way to this client already.
    if (!open.save && !open.load)
        broadcast_locked(wakes);
    return true;
}

// The outcome of the file work under the lock again, and everybody's frame.
template <typename Apply>
bool finish_file_work(Connection& c, Apply apply)
{
    FrameWakes wakes;
    std::lock_guard<std::mutex> lock(game_mutex());
    auto start = Clock::now();
    if (!act(c, apply))
        return false;
    record_lock_time(LockSection::Command, Clock::now() - start);
    broadcast_locked(wakes);
    return true;
}

// Written without the lock; the server keeps only the newest saves.
bool finish_save(Connection& c, const PreparedSave& save)
{
    bool written = write_prepared_save(save);
    log_event("save %s by %s %s", log_quote(save.path).c_str(), log_quote(c.name).c_str(), written ? "ok" : "failed");
    bool stays = finish_file_work(c, [&](Game& game, int slot) { report_save(*player_by_number(game, slot), save, written); });
    int keep = server_settings().saves_kept;
    if (written && keep > 0)
        for (const std::string& path : prune_saves(static_cast<std::size_t>(keep)))
            log_event("prune %s keeping %d", log_quote(path).c_str(), keep);
    return stays;
}

// Found and read without the lock; applied only if the player may still
// load, since the world went on meanwhile.
bool finish_load(Connection& c)
{
    FoundSave found = find_newest_save();
    return finish_file_work(c, [&](Game& game, int slot) {
        if (!takes_map_keys(game, slot)) {
            log_event("load by %s dropped: no longer at the map", log_quote(c.name).c_str());
            return;
        }
        int result = apply_found_save(game, *player_by_number(game, slot), found);
        if (result == 0)
            log_event("load %s by %s ok", log_quote(found.path).c_str(), log_quote(c.name).c_str());
        else if (found.path.empty())
            log_event("load by %s failed: %s", log_quote(c.name).c_str(), load_failure_text(found, result));
        else
            log_event("load %s by %s refused: %s", log_quote(found.path).c_str(), log_quote(c.name).c_str(),
                      load_failure_text(found, result));
    });
}

bool handle_command(Connection& c, char key)
{
    OpenDialogue open;
    FileWork work;
    if (!run_key(c, key, open, work))
        return false;
    if (open.shop)
        return finish_shop(c, open.offer);
    if (work.save)
        return finish_save(c, *work.save);
    return !work.load || finish_load(c);
}

// While the player types, other players' frames wait behind the prompt
// rather than erase it and the text typed so far.
bool handle_chat(Connection& c)
{
    {
        // Typing a line counts as input from the first key on.
        std::lock_guard<std::mutex> lock(game_mutex());
        note_input_locked(find_client_slot(c.fd));
    }
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

// A connection that merely went keeps its seat for a while; 'q' and death end it.
void leave(Connection& c, LeaveReason reason)
{
    c.out.close_with(GOODBYE_TEXT);
    GameEnd end = reason == LeaveReason::Quit ? GameEnd::Quit : reason == LeaveReason::Death ? GameEnd::Death : GameEnd::Closed;
    LeftSeat left = leave_seat(c.fd, reason == LeaveReason::Closed ? MayHold::Yes : MayHold::No, end);
    // Without a seat, whoever took it (a new login, the idle limit) has
    // announced and logged the change already.
    if (left.end != SeatEnd::None) {
        log_event("%s %s slot %d %s account %s %s", left.end == SeatEnd::Held ? "hold" : "leave", c.peer.c_str(),
                  left.slot, log_quote(c.name).c_str(), log_quote(c.account).c_str(), leave_text(reason, c.out).c_str());
        render_all_clients();
    }
    c.out.finish(GOODBYE_LINGER);
}

// A recorder no seat took is closed here, off the lock, since closing it waits for its writer.
void drop_recorder(std::shared_ptr<Recorder>& recorder)
{
    if (recorder)
        recorder->close();
    recorder.reset();
}

// A seat restored after a restart records again, in the file it had.
std::shared_ptr<Recorder> recorder_for_return(std::string_view account)
{
    return seat_wants_recorder(account) ? start_recording(account, RecordingStart::ResumeUnfinished) : nullptr;
}

// Joins with the chosen class and plays until the connection ends.
void play(Connection& c, std::shared_ptr<ClientOutput> output, int class_key, PreJoinGuard& prejoin_entry,
          Transport transport)
{
    std::shared_ptr<Recorder> recorder = start_recording(c.account, RecordingStart::New);
    int slot = join_with_class(c.fd, c.name, class_key, std::move(output), { c.account, c.peer, transport }, recorder);
    drop_recorder(recorder);
    if (slot < 0) {
        log_event("full %s %s", c.peer.c_str(), log_quote(c.name).c_str());
        c.in.write(FULL_TEXT);
        end_before_join(c.in, c.peer, Refusal::Full);
        return;
    }
    // A joined player has no time limit; its output has limits of its own.
    c.in.set_limit(std::nullopt);
    prejoin_entry.release();
    log_event("join %s slot %d %s account %s", c.peer.c_str(), slot, log_quote(c.name).c_str(),
              log_quote(c.account).c_str());
    if (!c.out.start()) {
        // Without a writer nothing reaches the client; it leaves at once.
        remove_client_by_fd(c.fd);
        log_event("leave %s slot %d %s account %s no output thread", c.peer.c_str(), slot, log_quote(c.name).c_str(),
                  log_quote(c.account).c_str());
        render_all_clients();
        return;
    }
    // A join redraws everybody twice, the newcomer included.
    render_all_clients();
    render_all_clients();
    leave(c, command_loop(c));
}

// Back in a seat it owned: the character plays on as it was left.
void play_on(Connection& c, const Reclaimed& back, const char* how)
{
    c.in.set_limit(std::nullopt);
    if (back.took_over)
        log_event("takeover %s slot %d %s account %s from %s", c.peer.c_str(), back.slot, log_quote(c.name).c_str(),
                  log_quote(c.account).c_str(), back.old_peer.c_str());
    else
        log_event("%s %s slot %d %s account %s", how, c.peer.c_str(), back.slot, log_quote(c.name).c_str(),
                  log_quote(c.account).c_str());
    if (!c.out.start()) {
        LeftSeat left = leave_seat(c.fd, MayHold::Yes);
        log_event("%s %s slot %d %s account %s no output thread", left.end == SeatEnd::Held ? "hold" : "leave",
                  c.peer.c_str(), back.slot, log_quote(c.name).c_str(), log_quote(c.account).c_str());
        render_all_clients();
        return;
    }
    render_all_clients();
    leave(c, command_loop(c));
}

// Shared with the frame wakes of other clients' threads, which may still
// hold it for a moment after this client has left.
std::shared_ptr<ClientOutput> new_output(int fd)
{
    ClientOutput::Limits limits;
    limits.stall = server_limits().output_stall;
    return std::make_shared<ClientOutput>(fd, limits);
}
}  // namespace

void client_thread(UniqueFd sock, ClientOrigin origin, Clock::time_point limit)
{
    int fd = sock.get();
    PreJoinGuard prejoin_entry(fd);
    LineReader in(fd, origin.transport == Transport::Browser ? LineReader::Peer::Browser : LineReader::Peer::Telnet);
    // One limit for the whole dialogue: every read and write, and every
    // wait for a turn at the key derivation, ends when it passes, whatever
    // the client keeps queued.
    in.set_limit(limit);
    const std::string& peer = origin.text;
    Arrival arrival { in, origin.address, peer };
    Refusal why = Refusal::Gone;
    std::optional<Joining> joining = arrive(arrival, why);
    if (!joining) {
        // A watcher has had its goodbye.
        if (why != Refusal::Watched)
            end_before_join(in, peer, why);
        return;
    }
    std::shared_ptr<ClientOutput> out = new_output(fd);
    if (joining->returning) {
        SeatOwner owner { joining->account, peer, origin.transport };
        std::shared_ptr<Recorder> spare = recorder_for_return(joining->account);
        std::optional<Reclaimed> back = reclaim_seat(fd, owner, out, Announce::Yes, spare);
        drop_recorder(spare);
        if (back) {
            prejoin_entry.release();
            Connection c { fd, in, *out, peer, back->name, joining->account };
            play_on(c, *back, "return");
            return;
        }
        // The hold ran out between the login and now: a new character.
        if (!name_and_class(arrival, *joining, why)) {
            end_before_join(in, peer, why);
            return;
        }
    }
    Connection c { fd, in, *out, peer, joining->name, joining->account };
    play(c, out, joining->class_key, prejoin_entry, origin.transport);
}

void adopted_client_thread(UniqueFd sock, ClientOrigin origin, std::string account)
{
    int fd = sock.get();
    LineReader in(fd, origin.transport == Transport::Browser ? LineReader::Peer::Browser : LineReader::Peer::Telnet);
    std::shared_ptr<ClientOutput> out = new_output(fd);
    SeatOwner owner { account, origin.text, origin.transport };
    std::shared_ptr<Recorder> spare = recorder_for_return(account);
    std::optional<Reclaimed> back = reclaim_seat(fd, owner, out, Announce::No, spare);
    drop_recorder(spare);
    if (!back) {
        log_event("close %s account %s: no seat after the reload", origin.text.c_str(), log_quote(account).c_str());
        in.set_limit(Clock::now() + GOODBYE_GRACE);
        in.write(GOODBYE_TEXT);
        return;
    }
    Connection c { fd, in, *out, origin.text, back->name, account };
    play_on(c, *back, "adopt");
}
