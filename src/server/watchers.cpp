// Watching a seat: the list of seats, a watcher's pick and later switches,
// and the copies of each watched seat's frame, queued for its watchers.
// A watcher has an output queue of its own, like a player's, so a slow one
// gets fewer frames and a stalled one is cut off; nobody waits on it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "config/config.hpp"
#include "log/log.hpp"
#include "server/client_output.hpp"
#include "server/server_internal.hpp"
#include "world/game.hpp"

namespace {
using Clock = std::chrono::steady_clock;

constexpr const char* NOBODY_TEXT = "Nobody is playing.\n";
constexpr const char* TOO_MANY_TEXT = "Too many watchers. Try again later.\n";
constexpr const char* ENDED_TEXT = "\x1b[H\x1b[JThe game you watched has ended.\n";
constexpr const char* LIST_TITLE = "\n--- Games in progress ---\n\n";
constexpr const char* PICK_PROMPT = "\nWatch which seat (q to leave)? ";
// Answers to the list before the first pick, as at the first menu.
constexpr int PICKS_MAX = 20;
// How long the goodbye may take to reach a leaving watcher.
constexpr auto GOODBYE_LINGER = std::chrono::seconds(10);

// Guarded by game_mutex, like the seats it points at.
struct Watcher {
    int fd;
    std::shared_ptr<ClientOutput> out;
    SeatId seat;  // 0 while choosing
    bool let_go;  // nobody was left to watch
};
std::vector<Watcher> g_watchers;

Watcher* find_watcher_locked(int fd)
{
    for (Watcher& w : g_watchers)
        if (w.fd == fd)
            return &w;
    return nullptr;
}

std::string seat_list_locked()
{
    std::vector<SeatStatus> seats = seat_status_locked();
    if (seats.empty())
        return NOBODY_TEXT;
    std::string text = LIST_TITLE;
    for (std::size_t i = 0; i < seats.size(); ++i) {
        const SeatStatus& s = seats[i];
        char line[256];
        std::snprintf(line, sizeof line, "%zu. %-20.63s %-12s level %-3d HP %d/%d  %-8s %d watching\n", i + 1,
                      s.name.c_str(), class_name(s.player_class), s.level, s.hp, s.max_hp, s.state, s.watchers);
        text += line;
    }
    return text + PICK_PROMPT;
}

// The first byte that is not white space, or 0.
char key_in(std::string_view chunk)
{
    for (char c : chunk)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            return c;
    return '\0';
}

// The slot a key names (1 for the first seat), or -1.
int slot_of_key(char key)
{
    if (key < '1' || key > '9')
        return -1;
    int slot = key - '1';
    return seat_id_locked(slot) != 0 ? slot : -1;
}

// Makes w watch the seat in slot and queues that seat's frame at once.
void watch_slot_locked(Watcher& w, int slot, FrameWakes& wakes)
{
    thread_local std::string frame;
    w.seat = seat_id_locked(slot);
    build_seat_frame_locked(slot, frame);
    w.out->push_frame(frame, ClientOutput::Wake::Later);
    wakes.add(w.out);
}

// What a watcher was last given to watch, for the log.
struct Pick {
    int slot;
    std::string name;
};

// A key while watching (or choosing again after a seat ended): a digit
// naming a seat watches it; anything else is ignored. The pick, or a slot
// of -1.
Pick switch_seat(int fd, char key)
{
    FrameWakes wakes;
    std::lock_guard<std::mutex> lock(game_mutex());
    Watcher* w = find_watcher_locked(fd);
    int slot = slot_of_key(key);
    if (!w || slot < 0) {
        // Someone choosing again is shown the seats as they are now.
        if (w && w->seat == 0 && key >= '0' && key <= '9')
            w->out->push_text(seat_list_locked());
        return { -1, {} };
    }
    watch_slot_locked(*w, slot, wakes);
    return { slot, client_tables().client_names[slot] };
}

// Claims a place and gives the list; the list is empty when the place could
// not be had.
WatchEnd claim(int fd, std::shared_ptr<ClientOutput> out, std::string& list)
{
    std::lock_guard<std::mutex> lock(game_mutex());
    if (seat_id_locked(0) == 0)
        return WatchEnd::NobodyPlaying;
    if (g_watchers.size() >= static_cast<std::size_t>(std::max(server_settings().watchers, 0)))
        return WatchEnd::TooMany;
    g_watchers.push_back({ fd, std::move(out), 0, false });
    list = seat_list_locked();
    return WatchEnd::Watched;
}

// True when this watcher had been let go because nobody was left.
bool release(int fd)
{
    std::lock_guard<std::mutex> lock(game_mutex());
    for (auto w = g_watchers.begin(); w != g_watchers.end(); ++w) {
        if (w->fd == fd) {
            bool let_go = w->let_go;
            g_watchers.erase(w);
            return let_go;
        }
    }
    return false;
}

// The list until a digit picks a seat, within the connection's limit.
std::optional<WatchEnd> first_pick(LineReader& in, std::string list, Pick& pick)
{
    std::string chunk;
    for (int answers = 0; answers < PICKS_MAX; ++answers) {
        if (!in.write(list) || !in.read_chunk(chunk))
            return WatchEnd::Gone;
        char key = key_in(chunk);
        if (key == 'q')
            return WatchEnd::Gone;
        FrameWakes wakes;
        std::lock_guard<std::mutex> lock(game_mutex());
        int slot = slot_of_key(key);
        Watcher* w = find_watcher_locked(in.fd());
        if (w && slot >= 0) {
            watch_slot_locked(*w, slot, wakes);
            pick = { slot, client_tables().client_names[slot] };
            return std::nullopt;
        }
        list = seat_list_locked();
    }
    return WatchEnd::WrongAnswers;
}

// Keys until q or the end of the connection; why it ended, for the log.
std::string watch_loop(LineReader& in, const std::string& peer)
{
    std::string chunk;
    while (in.read_chunk(chunk)) {
        char key = key_in(chunk);
        if (key == 'q')
            return "quit";
        Pick pick = switch_seat(in.fd(), key);
        if (pick.slot >= 0)
            log_event("watch %s switch slot %d %s", peer.c_str(), pick.slot, log_quote(pick.name).c_str());
    }
    return "closed";
}
}  // namespace

const char* class_name(int player_class)
{
    switch (player_class) {
    case CLASS_FIGHTER: return "Fighter";
    case CLASS_WIZARD: return "Wizard";
    case CLASS_ROGUE: return "Rogue";
    case CLASS_NECROMANCER: return "Necromancer";
    default: return "";
    }
}

int watcher_count_locked(SeatId seat)
{
    int n = 0;
    for (const Watcher& w : g_watchers)
        n += seat != 0 && w.seat == seat;
    return n;
}

void watchers_push_frame_locked(SeatId seat, const std::string& frame, FrameWakes& wakes)
{
    // Each queue keeps the buffer it is handed and gives a spare back, so
    // after the first frames the copies allocate nothing.
    thread_local std::string copy;
    for (Watcher& w : g_watchers) {
        if (w.seat != seat || seat == 0)
            continue;
        copy.assign(frame);
        w.out->push_frame(copy, ClientOutput::Wake::Later);
        wakes.add(w.out);
    }
}

void watchers_seat_ended_locked(SeatId seat)
{
    bool anyone = seat_id_locked(0) != 0;
    for (Watcher& w : g_watchers) {
        if (w.seat != seat || seat == 0)
            continue;
        w.seat = 0;
        w.out->push_text(ENDED_TEXT);
        if (anyone) {
            w.out->push_text(seat_list_locked());
            continue;
        }
        // The descriptor is still the watcher thread's: it closes it only
        // after leaving this table.
        w.let_go = true;
        w.out->push_text(NOBODY_TEXT);
        w.out->close_with(GOODBYE_TEXT);
        shutdown(w.fd, SHUT_RD);
    }
}

WatchEnd watch_games(LineReader& in, const std::string& peer)
{
    ClientOutput::Limits limits;
    limits.stall = server_limits().output_stall;
    auto out = std::make_shared<ClientOutput>(in.fd(), limits);
    std::string list;
    WatchEnd claimed = claim(in.fd(), out, list);
    if (claimed == WatchEnd::NobodyPlaying) {
        in.write(NOBODY_TEXT);
        return claimed;
    }
    if (claimed == WatchEnd::TooMany) {
        log_event("watch %s refused: too many watchers", peer.c_str());
        in.write(TOO_MANY_TEXT);
        return claimed;
    }
    // Idle until the first pick, so the list goes out through the reader.
    Pick pick { -1, {} };
    std::optional<WatchEnd> unpicked = out->start() ? first_pick(in, std::move(list), pick) : WatchEnd::Gone;
    if (unpicked) {
        release(in.fd());
        // Nothing was queued: the writer ends at once, before the caller's goodbye.
        out->finish(GOODBYE_LINGER);
        return *unpicked;
    }
    // A watcher has no time limit; its output has limits of its own.
    prejoin_release(in.fd());
    in.set_limit(std::nullopt);
    log_event("watch %s slot %d %s", peer.c_str(), pick.slot, log_quote(pick.name).c_str());
    std::string why = watch_loop(in, peer);
    if (release(in.fd()))
        why = "nobody left to watch";
    if (std::string cut = out->cut_reason(); !cut.empty())
        why = "cut off: " + cut;
    out->close_with(GOODBYE_TEXT);
    out->finish(GOODBYE_LINGER);
    log_event("watch %s end: %s", peer.c_str(), why.c_str());
    return WatchEnd::Watched;
}
