// The shared world of the server: the one lock, the client tables and the
// seats beside them, joining, holding a seat for a lost link and giving it
// back, the broadcast of a frame to every client and the removal of a leaver.
#include "server/server.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "config/config.hpp"
#include "log/log.hpp"
#include "records/recorder.hpp"
#include "render/render.hpp"
#include "rules/combat.hpp"
#include "server/client_output.hpp"
#include "server/server_internal.hpp"
#include "world/character.hpp"
#include "world/away.hpp"
#include "world/chat.hpp"
#include "world/dungeon.hpp"
#include "world/items.hpp"

namespace {
using Clock = std::chrono::steady_clock;

std::mutex g_game_mutex;
ClientTables g_tables {};
// Beside client_fds: the output queue of each client slot, moved with it.
std::shared_ptr<ClientOutput> g_outputs[MAX_CLIENTS] {};
ServerLimits g_limits {};
// Beside client_fds: when each client slot last sent a command or a chat line.
std::chrono::steady_clock::time_point g_last_input[MAX_CLIENTS] {};

// Beside client_fds: who owns each client slot. A held seat has the fd -1
// and no output, and waits for its account until hold_until.
struct Seat {
    std::string account;
    std::string peer;  // the last connection's, for the log
    Transport transport { Transport::Tcp };
    bool held { false };
    Clock::time_point hold_until {};
    // The screen's recording, moved with the seat; closed once it ends.
    std::shared_ptr<Recorder> recorder;
    // For the score: when the seat was taken, the deepest level since, the
    // world's turn count then, and the monster that killed the character.
    std::time_t started { std::time(nullptr) };
    int deepest { 0 };
    std::uint64_t turns_at_start { turns_counted() };
    std::string killer;
    // Stays with the seat when slots shift, for those who watch it.
    SeatId id { 0 };
};
Seat g_seats[MAX_CLIENTS];
SeatId g_last_seat_id = 0;
// Seats that ended under the lock, for the leaver to finish off it. Never
// destroyed, since the seat clock may still run while the process exits.
std::vector<EndedSeat>& g_ended = *new std::vector<EndedSeat>;

// How often the seat clock looks for holds that ran out and idle players.
constexpr auto SEAT_TICK = std::chrono::milliseconds(250);

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

void lead_with_player_in_play();

enum class Ending { Closed, Quit, Death, Expired };


// The score of slot s's game as it ends, or none when it did not end (a
// link lost without a hold leaves no score: nobody chose to stop).
std::optional<XlogEntry> score_locked(int s, Ending ending)
{
    const Game& game = server_game();
    const Player& p = *player_by_number(server_game(), s);
    const Seat& seat = g_seats[s];
    XlogEntry e;
    if (ending == Ending::Quit)
        e.death = "quit";
    else if (!p.alive)
        e.death = seat.killer.empty() ? "died" : "killed by " + seat.killer;
    else if (ending == Ending::Expired)
        e.death = "left";
    else
        return std::nullopt;
    e.version = program_version();
    e.name = g_tables.client_names[s];
    e.account = seat.account;
    const char* player_class = class_name(p.player_class);
    e.player_class = *player_class ? player_class : "none";
    e.level = std::max(seat.deepest, game.level);
    e.turns = static_cast<long long>(turns_counted() - seat.turns_at_start);
    e.gold = p.gold;
    e.hp = p.hp;
    e.maxhp = p.max_hp;
    e.party = joined_count();
    e.starttime = seat.started;
    e.endtime = std::time(nullptr);
    return e;
}

// Takes slot s out of the tables and the player slots. game_mutex is held.
void remove_client_locked(int s, Ending ending = Ending::Closed)
{
    if (s >= 0 && s < joined_count()) {
        if (g_outputs[s])
            g_outputs[s]->record_to(nullptr);
        g_ended.push_back({ std::move(g_seats[s].recorder), score_locked(s, ending) });
    }
    Game& game = server_game();
    const char* name = (s >= 0 && s < MAX_CLIENTS) ? g_tables.client_names[s] : "Unknown";
    char text[CHAT_LINE_LEN];
    std::snprintf(text, sizeof text, "\x1b[8D%.63s\x1b[30C has left the dungeon.", name);
    add_chat_message(game, "[SERVER]", text);

    int n = joined_count();
    if (s < 0 || s >= n)
        return;
    SeatId ended = g_seats[s].id;
    for (int i = s; i + 1 < n; ++i) {
        g_tables.client_fds[i] = g_tables.client_fds[i + 1];
        g_outputs[i] = g_outputs[i + 1];
        g_last_input[i] = g_last_input[i + 1];
        g_seats[i] = std::move(g_seats[i + 1]);
        std::memcpy(g_tables.client_names[i], g_tables.client_names[i + 1], sizeof g_tables.client_names[i]);
    }
    g_tables.client_fds[n - 1] = -1;
    g_outputs[n - 1] = nullptr;
    g_seats[n - 1] = Seat {};
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
    lead_with_player_in_play();
    watchers_seat_ended_locked(ended);
}

int join_locked(int fd, std::string_view name, Seat seat = {})
{
    int n = joined_count();
    if (n >= MAX_CLIENTS)
        return -1;
    g_tables.client_fds[n] = fd;
    g_outputs[n] = nullptr;
    g_last_input[n] = std::chrono::steady_clock::now();
    g_seats[n] = std::move(seat);
    g_seats[n].id = ++g_last_seat_id;
    copy_text(g_tables.client_names[n], name);
    g_tables.client_count = n + 1;
    Game& game = server_game();
    if (n == 0)
        generate_level(game);
    else
        prepare_joining_player(game, n);
    g_seats[n].deepest = game.level;
    return n;
}

// The rules tell of a kill with game_mutex held.
void note_killer(const Game& game, const Player& p, const Monster& killer)
{
    for (int i = 0; i < joined_count(); ++i) {
        if (player_by_number(game, i) == &p) {
            g_seats[i].killer = std::string("the ") + killer.glyph;
            return;
        }
    }
}

// The away source of the rules, asked with game_mutex held.
bool seat_held(int slot) { return slot >= 0 && slot < joined_count() && g_seats[slot].held; }

// A seat moves to another slot with its player, as on a leave.
void swap_slots(int a, int b)
{
    exchange_players(server_game(), a, b);
    std::swap(g_tables.client_fds[a], g_tables.client_fds[b]);
    std::swap(g_outputs[a], g_outputs[b]);
    std::swap(g_last_input[a], g_last_input[b]);
    std::swap(g_seats[a], g_seats[b]);
    std::swap(g_tables.client_names[a], g_tables.client_names[b]);
}

// The party follows a player who can act: a held leader gives the lead to
// the first player in play, if there is one.
void lead_with_player_in_play()
{
    if (!seat_held(0))
        return;
    Game& game = server_game();
    for (int k = 1; k < joined_count(); ++k) {
        if (!seat_held(k) && player_by_number(game, k)->alive) {
            swap_slots(0, k);
            return;
        }
    }
}

void announce_seat(int slot, const char* sender, const char* format)
{
    char text[CHAT_LINE_LEN];
    std::snprintf(text, sizeof text, format, g_tables.client_names[slot]);
    add_chat_message(server_game(), sender, text);
}

Clock::duration seat_hold()
{
    if (g_limits.seat_hold)
        return *g_limits.seat_hold;
    return std::chrono::seconds(server_settings().seat_hold_s);
}

Clock::duration idle_limit()
{
    if (g_limits.idle_limit)
        return *g_limits.idle_limit;
    return std::chrono::seconds(server_settings().idle_limit_s);
}

// "300", "0.5": a duration as the texts and the log give it.
std::string seconds_text(Clock::duration d)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", std::chrono::duration<double>(d).count());
    return text;
}

// The connection of slot s is gone; its player stays where it is.
void hold_locked(int s)
{
    if (g_outputs[s])
        g_outputs[s]->record_to(nullptr);
    g_tables.client_fds[s] = -1;
    g_outputs[s] = nullptr;
    g_seats[s].held = true;
    g_seats[s].hold_until = Clock::now() + seat_hold();
    announce_seat(s, "[SERVER]", "\x1b[8D%.63s\x1b[30C has lost the link.");
    lead_with_player_in_play();
}

// The event log's words for the seat in slot s: peer, slot, name, account.
std::string seat_words(int s)
{
    return g_seats[s].peer + " slot " + std::to_string(s) + " " + log_quote(g_tables.client_names[s]) + " account "
        + log_quote(g_seats[s].account);
}

// Ends slot s's connection from outside its thread: the text and the goodbye
// are queued, and the socket's reading side is shut, so that the thread's
// next read ends. The descriptor is still the thread's own, since a thread
// closes its socket only after its seat is no longer this one.
void let_go_locked(int s, std::string_view text)
{
    if (const std::shared_ptr<ClientOutput>& out = g_outputs[s]) {
        out->push_text(text);
        out->close_with(GOODBYE_TEXT);
    }
    if (g_tables.client_fds[s] >= 0)
        shutdown(g_tables.client_fds[s], SHUT_RD);
}

int seat_of_account_locked(std::string_view account)
{
    if (account.empty())
        return -1;
    for (int i = 0; i < joined_count(); ++i)
        if (g_seats[i].account == account)
            return i;
    return -1;
}

// Holds that ran out leave as a player does; from the last slot down, since
// a leave moves the later ones.
void expire_holds_locked(Clock::time_point now, std::vector<std::string>& log)
{
    for (int i = joined_count() - 1; i >= 0; --i) {
        if (!g_seats[i].held || now < g_seats[i].hold_until)
            continue;
        log.push_back("leave " + seat_words(i) + " hold expired");
        remove_client_locked(i, Ending::Expired);
    }
}

// A player in play that sent nothing for the idle limit is let go with the
// reason, and its seat held like any lost link's.
void let_idle_go_locked(Clock::time_point now, std::vector<std::string>& log)
{
    Clock::duration limit = idle_limit();
    if (limit <= Clock::duration::zero())
        return;
    for (int i = joined_count() - 1; i >= 0; --i) {
        if (seat_held(i) || !player_by_number(server_game(), i)->alive || now - g_last_input[i] < limit)
            continue;
        std::string text = "No input for " + seconds_text(limit) + " s: disconnecting.";
        if (seat_hold() > Clock::duration::zero())
            text += " Your character is kept for " + seconds_text(seat_hold()) + " s; log in again to play on.";
        text += "\n";
        let_go_locked(i, text);
        if (seat_hold() > Clock::duration::zero()) {
            log.push_back("hold " + seat_words(i) + " idle for " + seconds_text(limit) + " s");
            hold_locked(i);
        } else {
            log.push_back("leave " + seat_words(i) + " idle for " + seconds_text(limit) + " s");
            remove_client_locked(i);
        }
    }
}

// Finishes, off the lock, the seats that ended under it.
void settle_ended_seats()
{
    std::vector<EndedSeat> ended;
    {
        std::lock_guard<std::mutex> lock(g_game_mutex);
        ended.swap(g_ended);
    }
    for (EndedSeat& e : ended)
        finish_ended_seat(e);
}

void seat_tick()
{
    std::vector<std::string> log;
    {
        FrameWakes wakes;
        std::lock_guard<std::mutex> lock(g_game_mutex);
        auto now = Clock::now();
        expire_holds_locked(now, log);
        let_idle_go_locked(now, log);
        if (!log.empty())
            broadcast_locked(wakes);
    }
    if (!log.empty())
        settle_ended_seats();
    for (const std::string& line : log)
        log_event("%s", line.c_str());
}

void run_seat_clock()
{
    for (;;) {
        std::this_thread::sleep_for(SEAT_TICK);
        seat_tick();
    }
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
    // A held seat's -1 is nobody's socket.
    if (fd < 0)
        return -1;
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
    status.seats = seat_status_locked();
    return status;
}

std::vector<SeatStatus> seat_status_locked()
{
    using std::chrono::duration_cast;
    using std::chrono::seconds;
    std::vector<SeatStatus> seats;
    auto now = std::chrono::steady_clock::now();
    Game& game = server_game();
    int n = joined_count();
    for (int i = 0; i < n; ++i) {
        const Player& p = *player_by_number(game, i);
        seats.push_back({ g_tables.client_names[i], p.player_class, game.level, p.hp, p.max_hp,
                          g_seats[i].held ? "held" : p.alive ? "playing" : "dead",
                          duration_cast<seconds>(now - g_last_input[i]).count(), watcher_count_locked(g_seats[i].id) });
    }
    return seats;
}

SeatId seat_id_locked(int slot) { return slot >= 0 && slot < joined_count() ? g_seats[slot].id : 0; }

int slot_of_seat_locked(SeatId id)
{
    for (int i = 0; i < joined_count(); ++i)
        if (id != 0 && g_seats[i].id == id)
            return i;
    return -1;
}

void build_seat_frame_locked(int slot, std::string& frame)
{
    Game& game = server_game();
    frame.clear();
    build_frame(game, *player_by_number(game, slot), slot, frame);
}

int join_server_game(int fd, const char* name)
{
    std::lock_guard<std::mutex> lock(g_game_mutex);
    return join_locked(fd, name ? std::string_view(name) : std::string_view());
}

int join_with_class(int fd, std::string_view name, int class_key, std::shared_ptr<ClientOutput> output,
                    const SeatOwner& owner, std::shared_ptr<Recorder>& recorder)
{
    std::lock_guard<std::mutex> lock(g_game_mutex);
    Seat seat;
    seat.account = std::string(owner.account);
    seat.peer = std::string(owner.peer);
    seat.transport = owner.transport;
    int slot = join_locked(fd, name, std::move(seat));
    if (slot < 0)
        return -1;
    output->record_to(recorder);
    g_seats[slot].recorder = std::move(recorder);
    g_outputs[slot] = std::move(output);
    announce_join(name);
    apply_class_choice(server_game(), slot, class_key);
    lead_with_player_in_play();
    return find_client_slot(fd);
}

bool account_has_seat(std::string_view account)
{
    std::lock_guard<std::mutex> lock(g_game_mutex);
    return seat_of_account_locked(account) >= 0;
}

bool seat_wants_recorder(std::string_view account)
{
    std::lock_guard<std::mutex> lock(g_game_mutex);
    int s = seat_of_account_locked(account);
    return s >= 0 && !g_seats[s].recorder;
}

std::optional<Reclaimed> reclaim_seat(int fd, const SeatOwner& owner, std::shared_ptr<ClientOutput> output,
                                      Announce announce, std::shared_ptr<Recorder>& spare)
{
    std::lock_guard<std::mutex> lock(g_game_mutex);
    int s = seat_of_account_locked(owner.account);
    if (s < 0)
        return std::nullopt;
    Reclaimed back { s, g_tables.client_names[s], !g_seats[s].held, g_seats[s].peer };
    // Still connected: most likely a dead link that TCP has not noticed yet.
    if (back.took_over) {
        if (g_outputs[s])
            g_outputs[s]->record_to(nullptr);
        let_go_locked(s, {});
    }
    if (!g_seats[s].recorder)
        g_seats[s].recorder = std::move(spare);
    output->record_to(g_seats[s].recorder);
    g_tables.client_fds[s] = fd;
    g_outputs[s] = std::move(output);
    g_last_input[s] = Clock::now();
    g_seats[s].peer = std::string(owner.peer);
    g_seats[s].transport = owner.transport;
    g_seats[s].held = false;
    if (!back.took_over && announce == Announce::Yes)
        announce_seat(s, "[SERVER] ", "\x1b[9D%.63s\x1b[30C is back.");
    lead_with_player_in_play();
    back.slot = find_client_slot(fd);
    return back;
}

LeftSeat leave_seat(int fd, MayHold may_hold, GameEnd end)
{
    std::string stats;
    LeftSeat left { -1, SeatEnd::None };
    {
        std::lock_guard<std::mutex> lock(g_game_mutex);
        left.slot = find_client_slot(fd);
        if (left.slot >= 0) {
            bool hold = may_hold == MayHold::Yes && seat_hold() > Clock::duration::zero()
                && player_by_number(server_game(), left.slot)->alive;
            left.end = hold ? SeatEnd::Held : SeatEnd::Removed;
            if (hold) {
                hold_locked(left.slot);
            } else {
                remove_client_locked(left.slot, end == GameEnd::Quit ? Ending::Quit
                                                  : end == GameEnd::Death ? Ending::Death
                                                                          : Ending::Closed);
            }
        }
        stats = lock_stats_report();
    }
    settle_ended_seats();
    if (!stats.empty())
        std::fputs(stats.c_str(), stderr);
    return left;
}

void note_level_locked()
{
    for (int i = 0; i < joined_count(); ++i)
        g_seats[i].deepest = std::max(g_seats[i].deepest, server_game().level);
}

std::vector<std::shared_ptr<Recorder>> seat_recorders()
{
    std::vector<std::shared_ptr<Recorder>> out;
    std::lock_guard<std::mutex> lock(g_game_mutex);
    for (int i = 0; i < joined_count(); ++i)
        if (g_seats[i].recorder)
            out.push_back(g_seats[i].recorder);
    return out;
}

void start_seat_clock()
{
    set_player_killed_watch(note_killer);
    set_player_away_source(seat_held);
    try {
        std::thread(run_seat_clock).detach();
    } catch (const std::system_error&) {
        // Without the clock, holds last until their account returns and
        // nobody is let go for idling; the game itself goes on.
        log_event("seat clock not started: holds never run out");
    }
}

void seat_records_locked(SeatRecord (&seats)[MAX_PLAYERS])
{
    std::memset(seats, 0, sizeof seats);
    auto now = Clock::now();
    // A restart is not a lost link: its players were told their characters
    // are kept, so they get a minute to log in even when SEAT_HOLD is 0.
    long long whole = std::max<long long>(std::chrono::duration_cast<std::chrono::seconds>(seat_hold()).count(), 60);
    for (int i = 0; i < joined_count(); ++i) {
        SeatRecord& r = seats[i];
        copy_text(r.account, g_seats[i].account);
        copy_text(r.chat_name, g_tables.client_names[i]);
        r.held = 1;
        long long left = whole;
        if (g_seats[i].held)
            left = std::chrono::ceil<std::chrono::seconds>(std::max(g_seats[i].hold_until - now, Clock::duration::zero())).count();
        r.hold_left = static_cast<std::int32_t>(std::clamp<long long>(left, 0, INT32_MAX));
    }
}

void restore_seats_locked(const SeatRecord (&seats)[MAX_PLAYERS])
{
    auto now = Clock::now();
    int n = 0;
    for (const SeatRecord& r : seats) {
        if (r.account[0] == '\0' || n >= MAX_CLIENTS)
            break;
        g_tables.client_fds[n] = -1;
        g_outputs[n] = nullptr;
        g_last_input[n] = now;
        copy_text(g_tables.client_names[n], std::string_view(r.chat_name, strnlen(r.chat_name, sizeof r.chat_name)));
        g_seats[n] = Seat {};
        g_seats[n].account = std::string(r.account, strnlen(r.account, sizeof r.account));
        g_seats[n].peer = "restored";
        g_seats[n].held = true;
        g_seats[n].hold_until = now + std::chrono::seconds(std::max(r.hold_left, 0));
        g_seats[n].deepest = server_game().level;
        g_seats[n].id = ++g_last_seat_id;
        ++n;
    }
    for (int i = n; i < MAX_CLIENTS; ++i) {
        g_tables.client_fds[i] = -1;
        g_outputs[i] = nullptr;
        g_seats[i] = Seat {};
        std::memset(g_tables.client_names[i], 0, sizeof g_tables.client_names[i]);
    }
    g_tables.client_count = n;
    server_game().other_count = std::max(n, 1) - 1;
}

std::vector<JoinedSocket> joined_sockets_locked()
{
    std::vector<JoinedSocket> out;
    for (int i = 0; i < joined_count(); ++i)
        if (!g_seats[i].held && g_tables.client_fds[i] >= 0)
            out.push_back({ i, g_tables.client_fds[i], g_seats[i].transport, g_seats[i].account });
    return out;
}

std::shared_ptr<ClientOutput> output_of_slot_locked(int slot)
{
    if (slot < 0 || slot >= joined_count() || g_seats[slot].held)
        return nullptr;
    return g_outputs[slot];
}

namespace {
// The list of a thread's last FrameWakes, kept so that a broadcast to many
// watchers allocates nothing once it has grown.
std::vector<std::shared_ptr<ClientOutput>>& spare_wake_list()
{
    thread_local std::vector<std::shared_ptr<ClientOutput>> spare;
    return spare;
}
}  // namespace

FrameWakes::FrameWakes() : m_outputs(std::move(spare_wake_list()))
{
    m_outputs.clear();
}

FrameWakes::~FrameWakes()
{
    for (const std::shared_ptr<ClientOutput>& output : m_outputs)
        output->wake();
    m_outputs.clear();
    if (spare_wake_list().capacity() < m_outputs.capacity())
        spare_wake_list() = std::move(m_outputs);
}

void FrameWakes::add(std::shared_ptr<ClientOutput> output) { m_outputs.push_back(std::move(output)); }

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
        bool connected = g_tables.client_fds[i] > 0 && g_outputs[i];
        // A held seat's watchers go on seeing its player's frame.
        bool watched = watcher_count_locked(g_seats[i].id) > 0;
        if (!connected && !watched)
            continue;
        frame.clear();
        build_frame(game, *player_by_number(game, i), i, frame);
        if (watched)
            watchers_push_frame_locked(g_seats[i].id, frame, wakes);
        if (connected) {
            g_outputs[i]->push_frame(frame, ClientOutput::Wake::Later);
            wakes.add(g_outputs[i]);
        }
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
    {
        std::lock_guard<std::mutex> lock(g_game_mutex);
        remove_client_locked(slot);
    }
    settle_ended_seats();
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
    settle_ended_seats();
    // Standard error may be a pipe nobody reads; nobody waits on it but us.
    if (!stats.empty())
        std::fputs(stats.c_str(), stderr);
    return slot;
}
