// Pieces shared by the listener, the client threads and the shared-world code
// of the server; nothing outside src/server uses them.
#pragma once

#include <cstdint>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>

#include <vector>

#include "accounts/accounts.hpp"
#include "records/xlog.hpp"
#include "save/snapshot.hpp"
#include "server/server.hpp"
#include "term/line_reader.hpp"
#include "term/term.hpp"

class ClientOutput;
class Recorder;

// The last text a connection is sent before it closes.
constexpr const char* GOODBYE_TEXT = "Thank you for playing. Disconnecting.\n";

// A client's address as the limits and the log count it: an IPv4 client
// that reached the IPv6 socket (::ffff:a.b.c.d) is its IPv4 address.
class PeerAddress {
public:
    PeerAddress() = default;
    PeerAddress(const struct sockaddr_storage& from, socklen_t len);
    bool same_host(const PeerAddress& other) const;
    // "203.0.113.7:51234" or "[2001:db8::1]:51234"; host() without the port.
    std::string text() const;
    std::string host() const;

private:
    struct sockaddr_storage m_address {};
};

// Runs one connection from the welcome text to its end; closes the socket.
// Until it joins, everything it reads and writes ends at limit.
// Who a connection is: its address for the limits, its name in the log
// ("web:" and the address for a browser), and how it came.
struct ClientOrigin {
    PeerAddress address;
    std::string text;
    Transport transport;
};
void client_thread(UniqueFd sock, ClientOrigin origin, std::chrono::steady_clock::time_point limit);

// What every connection needs before its thread starts, done once for the
// process: the screen route, ignored SIGPIPE, the start time.
void prepare_server();
std::chrono::steady_clock::time_point server_started();

// A command or chat line of the client in slot; game_mutex is held.
void note_input_locked(int slot);

// The client slot whose socket is fd, or -1. Call with game_mutex held.
int find_client_slot(int fd);

// Who takes a seat: the account that will own it, and the connection.
struct SeatOwner {
    std::string_view account;
    std::string_view peer;
    Transport transport;
};

// Takes a slot for fd, places the player, gives it the class the key names
// (none for any other key), announces it and registers its output, all in
// one step under game_mutex. The slot, or -1 when the game is full.
// The seat takes recorder (may be null) when it joins; otherwise it is left
// with the caller, to close off the lock.
int join_with_class(int fd, std::string_view name, int class_key, std::shared_ptr<ClientOutput> output,
                    const SeatOwner& owner, std::shared_ptr<Recorder>& recorder);

// The writers that frames were queued for, woken when this goes out of
// scope. Declared before the guard of game_mutex, it goes after the guard,
// so no woken writer preempts the holder of the lock. It shares ownership of
// the outputs, so that a client leaving meanwhile cannot take one away.
class FrameWakes {
public:
    FrameWakes();
    ~FrameWakes();
    FrameWakes(const FrameWakes&) = delete;
    FrameWakes& operator=(const FrameWakes&) = delete;
    void add(std::shared_ptr<ClientOutput> output);

private:
    std::vector<std::shared_ptr<ClientOutput>> m_outputs;
};

// render_all_clients for a caller that already holds game_mutex.
void broadcast_locked(FrameWakes& wakes);

// remove_client for whatever slot fd holds now: the slot is looked up under
// the same lock that removes it, so a concurrent leave cannot shift it away.
// The slot it held, or -1.
int remove_client_by_fd(int fd);

// Where screen writers' bytes go while game_mutex is held: the output queue
// of the client being served.
void install_screen_route();

// Connections that have not joined yet, at most server_limits().prejoin_total
// at once and prejoin_per_address from one address. Each one's own thread
// ends it when its time limit passes.
enum class PreJoin { Claimed, Full, AddressFull };
PreJoin prejoin_claim(int fd, const PeerAddress& peer);
void prejoin_release(int fd);
int prejoin_count();

// A counting semaphore whose waits end at a deadline.
class Turns {
public:
    explicit Turns(int count) : m_free(count) {}
    // False when the deadline passed before a turn was free.
    bool take(Deadline deadline);
    void give_back();

private:
    std::mutex m_mutex;
    std::condition_variable m_freed;
    int m_free;
};

// Failed logins per address. From the FREE_FAILURES-th failure within the
// window on, each later login from that address waits before its password
// is checked: 1 s, doubling with every further failure up to 30 s. A quiet
// window forgets the address. Thread-safe; time is passed in for tests.
class LoginThrottle {
public:
    static constexpr int FREE_FAILURES = 5;
    using Clock = std::chrono::steady_clock;
    explicit LoginThrottle(std::chrono::milliseconds window) : m_window(window) {}
    std::chrono::milliseconds wait_for(const PeerAddress& peer, Clock::time_point now);
    // True when this failure is the one from which the address's logins wait.
    bool record_failure(const PeerAddress& peer, Clock::time_point now);

private:
    struct Entry {
        PeerAddress peer;
        int failures = 0;
        Clock::time_point last {};
    };
    static constexpr int CAPACITY = 256;
    Entry* find(const PeerAddress& peer, Clock::time_point now);
    std::chrono::milliseconds m_window;
    std::mutex m_mutex;
    Entry m_entries[CAPACITY] {};
};

// The gate of the server's account dialogues: a login from a throttled
// address waits first, and at most two key derivations run at once in the
// whole server; both waits end at the connection's time limit.
enum class Throttled { No, Yes };
class ServerKeyGate final : public KeyGate {
public:
    ServerKeyGate(const PeerAddress& peer, Deadline limit, Throttled throttled)
        : m_peer(peer), m_limit(limit), m_throttled(throttled)
    {
    }
    bool enter() override;
    // A failed login counts against its address here, before the client is told.
    void leave(AccountOutcome outcome) override;

private:
    bool wait_out_throttle();
    PeerAddress m_peer;
    Deadline m_limit;
    Throttled m_throttled;
};

// Lock statistics, kept only when server_limits().lock_stats is set: how
// long one command, and one broadcast of frames, holds game_mutex. Record and
// take the report with game_mutex held; write it out after letting go.
enum class LockSection { Command, Broadcast };
void record_lock_time(LockSection section, std::chrono::steady_clock::duration held);
// One summary line per section, or empty when the statistics are off.
std::string lock_stats_report();

// ---- Seats kept across a lost link, a restart and a reload ----
// A seat is owned by the account that joined it. A held seat has no
// connection (its fd is -1 and it has no output) and waits for its account
// to log in again until its hold runs out. All of these take game_mutex
// held by the caller unless their name says otherwise.

// Every seat in use, in slot order, as the world snapshot keeps it; unused
// records are zero. A connected seat is written as held with the whole
// SEAT_HOLD, since after a restart its player logs in again.
void seat_records_locked(SeatRecord (&seats)[MAX_PLAYERS]);

// After restore_world: the snapshot's seats become the table, each held for
// its account for the hold it had left.
void restore_seats_locked(const SeatRecord (&seats)[MAX_PLAYERS]);

// A joined connection as a reload passes it on.
struct JoinedSocket {
    int slot;
    int fd;
    Transport transport;
    std::string account;
};
std::vector<JoinedSocket> joined_sockets_locked();

// The output queue of a connected slot, or null.
std::shared_ptr<ClientOutput> output_of_slot_locked(int slot);

// A socket inherited across a reload, already joined before it: no welcome
// and no dialogue; it goes straight back to the held seat of account, is
// redrawn, and plays on. Closes the socket when the account has no seat.
void adopted_client_thread(UniqueFd sock, ClientOrigin origin, std::string account);

// True when account owns a seat, held or connected. Takes game_mutex.
bool account_has_seat(std::string_view account);

// Gives fd the seat of owner.account, with its character as it was. A seat
// still connected is taken over: the old connection is sent the goodbye and
// its reading side shut, so that its thread ends without a seat. Takes
// game_mutex. None when the account has no seat (any more).
enum class Announce { Yes, No };
struct Reclaimed {
    int slot;
    std::string name;
    bool took_over;
    std::string old_peer;
};
// A seat without a recorder (restored after a restart) takes spare, which
// is otherwise left with the caller.
std::optional<Reclaimed> reclaim_seat(int fd, const SeatOwner& owner, std::shared_ptr<ClientOutput> output,
                                      Announce announce, std::shared_ptr<Recorder>& spare);

// True when account's seat has no recorder yet. Takes game_mutex.
bool seat_wants_recorder(std::string_view account);

// The seat of a connection that ends: held when the connection merely went
// (and SEAT_HOLD allows it and the player lives), else removed as
// remove_client does. None when fd has no seat (any more): taken over or let
// go for idling. Takes game_mutex.
enum class MayHold { Yes, No };
enum class SeatEnd { None, Held, Removed };
struct LeftSeat {
    int slot;
    SeatEnd end;
};
// How the character's game went, for its score: a death counts as such
// whatever the cause given, and a merely closed link writes no score.
enum class GameEnd { Closed, Quit, Death };
LeftSeat leave_seat(int fd, MayHold may_hold, GameEnd end = GameEnd::Closed);

// The party went one level deeper, perhaps: each seat keeps its deepest.
void note_level_locked();

// Installs the rules' away source and starts the clock that ends holds that
// ran out and lets idle players go. Once per process.
void start_seat_clock();

// ---- The world snapshot ----
// Writes world.dat now from a copy taken under game_mutex (which this takes
// itself, briefly). why is for the log. True when written.
bool write_world_snapshot(const char* why);

// ---- What the seats leave: recordings and scores (seat_records.cpp) ----
const std::string& program_version();

// Makes the archive of finished recordings, when recording is on, so that
// it brings the folder within its bound at start. Once per process.
void start_recording_archive();

// A started recorder for a seat of account, or none when RECORD is off or
// the file cannot be used. Opens a file: call it off the game lock.
// ResumeUnfinished goes on with the account's newest unfinished recording,
// as a seat restored after a restart does.
enum class RecordingStart { New, ResumeUnfinished };
std::shared_ptr<Recorder> start_recording(std::string_view account, RecordingStart how);

// A seat that ended: its recorder to close and its score, if it has one.
struct EndedSeat {
    std::shared_ptr<Recorder> recorder;
    std::optional<XlogEntry> score;
};
// Writes the score and closes the recorder (waiting for its writer): off the lock.
void finish_ended_seat(EndedSeat& ended);

// The recorders of every seat, shared. Takes game_mutex.
std::vector<std::shared_ptr<Recorder>> seat_recorders();

// Before the process stops or runs its successor: whatever is queued for
// the recordings reaches their files, which stay unfinished so that a
// returning player goes on with its own. Off the lock.
void flush_recordings(std::chrono::milliseconds timeout);
constexpr auto RECORDING_FLUSH_WAIT = std::chrono::milliseconds(500);
// ---- Watchers ----
// Anyone may watch a seat without an account: they are sent the frames
// built for its player, through an output queue of their own, and never act.
// Seats are named by an id that stays with them when the slots shift. All
// of these take game_mutex held by the caller.
using SeatId = std::uint64_t;
// The seat in slot, or 0; the slot of a seat, or -1.
SeatId seat_id_locked(int slot);
int slot_of_seat_locked(SeatId id);
// Every seat as the status page and the watchers' list show it.
std::vector<SeatStatus> seat_status_locked();
// The frame of slot's player, as the broadcast builds it.
void build_seat_frame_locked(int slot, std::string& frame);

int watcher_count_locked(SeatId seat);
// Queues a copy of the seat's frame for each of its watchers.
void watchers_push_frame_locked(SeatId seat, const std::string& frame, FrameWakes& wakes);
// The seat is about to go: its watchers are told and may pick another.
void watchers_seat_ended_locked(SeatId seat);

// Serves a connection that chose to watch at the first menu, from the list
// of seats to its goodbye. Until its first pick it is still logging in: its
// pre-join entry and time limit hold; from then on neither does. Takes
// game_mutex itself. Watched means it has been served to the end; the others
// are said to nobody yet and leave the goodbye to the caller.
enum class WatchEnd { NobodyPlaying, TooMany, Gone, WrongAnswers, Watched };
WatchEnd watch_games(LineReader& in, const std::string& peer);
