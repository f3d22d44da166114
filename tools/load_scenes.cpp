#include "load_scenes.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

#include "load_support.hpp"

namespace load {
namespace {
using std::chrono::milliseconds;

// The receive buffer of the slow and the stalled client; the kernel doubles it.
constexpr int SMALL_RCVBUF = 4096;
// A day of one save a second.
constexpr int DAY_OF_SAVES = 86400;
constexpr Key REFUSALS_LOADED_OVER[2] = { { REFUSALS[0].key, REFUSALS[0].answer, true },
                                          { REFUSALS[1].key, REFUSALS[1].answer, true } };

// What the other client of a scene does while the fast client runs.
class Companion {
public:
    virtual ~Companion() = default;
    virtual const char* title() const = 0;
    // More lines of the server's configuration file.
    virtual std::string config() const { return {}; }
    // A load replaces the fast client's record too, message and all: its
    // answer may then never be drawn, and any new message counts instead.
    virtual bool replaces_world() const { return false; }
    // Connects before the fast client joins; false when it could not.
    virtual bool prepare(ServerProcess& server) = 0;
    // Runs once the fast client has joined, before its commands are timed.
    virtual bool after_fast_join() { return true; }
    virtual void start() {}
    // Stops, checks what the scene promises and says how that went.
    virtual std::string finish(Conn& fast) = 0;
};

// Reads at about RATE bytes per second in small pieces, as a client behind a
// slow link would, until asked to stop and nothing more has come for QUIET.
class PacedReader {
public:
    explicit PacedReader(int fd) : m_fd(fd) {}
    ~PacedReader() { stop(); }
    PacedReader(const PacedReader&) = delete;
    PacedReader& operator=(const PacedReader&) = delete;

    void start()
    {
        m_started = Clock::now();
        m_thread = std::thread([this] { run(); });
    }
    // Returns once everything the server sent was read (or after DRAIN_LIMIT).
    void stop()
    {
        m_stop_asked = Clock::now();
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    // These are only looked at after stop().
    const std::string& received() const { return m_got; }
    bool eof() const { return m_eof; }
    double seconds() const { return std::chrono::duration<double>(m_ended - m_started).count(); }
    // From stop() to the last byte: how stale the client's screen was.
    double drain_seconds() const
    {
        return std::max(0.0, std::chrono::duration<double>(m_last_data - m_stop_asked).count());
    }

private:
    static constexpr double RATE = 100e3;
    static constexpr std::size_t PIECE = 512;
    static constexpr milliseconds QUIET { 1000 };
    static constexpr milliseconds DRAIN_LIMIT { 20000 };

    bool done(Clock::time_point now, Clock::time_point last_data, Clock::time_point& give_up) const
    {
        if (!m_stop)
            return false;
        give_up = std::min(give_up, now + DRAIN_LIMIT);
        return now - last_data >= QUIET || now >= give_up;
    }
    void run()
    {
        auto next = Clock::now();
        auto& last_data = m_last_data;
        last_data = next;
        auto give_up = Clock::time_point::max();
        char piece[PIECE];
        for (;;) {
            std::this_thread::sleep_until(next);
            if (done(Clock::now(), last_data, give_up))
                break;
            pollfd p { m_fd, POLLIN, 0 };
            if (poll(&p, 1, 50) <= 0)
                continue;
            ssize_t n = recv(m_fd, piece, sizeof piece, 0);
            if (n <= 0) {
                m_eof = true;
                break;
            }
            m_got.append(piece, static_cast<std::size_t>(n));
            last_data = Clock::now();
            next = std::max(next, last_data)
                + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(static_cast<double>(n) / RATE));
        }
        m_ended = Clock::now();
    }

    int m_fd;
    std::string m_got;
    std::atomic<bool> m_stop { false };
    bool m_eof { false };
    Clock::time_point m_started {}, m_ended {}, m_last_data {}, m_stop_asked {};
    std::thread m_thread;
};

// The last frame that arrived whole.
std::string last_whole_frame(const std::string& stream)
{
    auto end = stream.rfind(FRAME_END);
    if (end == std::string::npos)
        return {};
    auto start = end == 0 ? std::string::npos : stream.rfind(FRAME_END, end - 1);
    start = start == std::string::npos ? 0 : start + FRAME_END.size();
    return stream.substr(start, end + FRAME_END.size() - start);
}

const char* yes_no(bool b) { return b ? "yes" : "NO"; }

// A client on a slow link must never be cut off, and once it has read
// everything its screen must show the newest state: the fast client's last
// act is a chat line, which the slow client's last whole frame must show.
class SlowReader : public Companion {
public:
    const char* title() const override { return "a: other client reads ~100 KB/s, 4 KB receive buffer"; }
    bool prepare(ServerProcess& server) override
    {
        m_conn = std::make_unique<Conn>(connect_to(server.port(), SMALL_RCVBUF));
        return join(*m_conn, "slow");
    }
    void start() override
    {
        m_conn->drain();
        m_reader = std::make_unique<PacedReader>(m_conn->fd);
        m_reader->start();
    }
    std::string finish(Conn& fast) override
    {
        bool chatted = fast.send("/") && !fast.until("Enter message: ").empty() && fast.send(std::string(LAST_WORD) + "\n")
            && !fast.frame_with(LAST_WORD).empty();
        m_reader->stop();
        const std::string& got = m_reader->received();
        bool cut = got.find(GOODBYE) != std::string::npos || m_reader->eof() || !still_open(m_conn->fd);
        bool newest = last_whole_frame(got).find(LAST_WORD) != std::string::npos;
        char text[320];
        std::snprintf(text, sizeof text,
                      "slow client read %zu KB in %.1f s, the last byte %.2f s after the fast client's last chat "
                      "line; cut off: %s; its last whole frame shows that line: %s",
                      got.size() / 1024, m_reader->seconds(), m_reader->drain_seconds(), cut ? "YES" : "no",
                      yes_no(chatted && newest));
        return text;
    }

private:
    static constexpr const char* LAST_WORD = "load done";
    std::unique_ptr<Conn> m_conn;
    std::unique_ptr<PacedReader> m_reader;
};

// A client that reads nothing holds frames on its own queue only; it is cut
// off after the server's stall limit (60 s by default, longer than a scene).
class Stalled : public Companion {
public:
    const char* title() const override { return "b: other client reads nothing, 4 KB receive buffer"; }
    bool prepare(ServerProcess& server) override
    {
        m_conn = std::make_unique<Conn>(connect_to(server.port(), SMALL_RCVBUF));
        return join(*m_conn, "stalled") && (m_conn->drain(), true);
    }
    std::string finish(Conn&) override
    {
        // Reading now lets the server send what it kept back; a cut-off
        // client finds the end of the stream after it instead.
        std::size_t waiting = 0;
        while (m_conn->read_some(300)) {
            waiting += m_conn->buf.size();
            m_conn->buf.clear();
        }
        char text[160];
        std::snprintf(text, sizeof text, "stalled client cut off during the scene: %s; %zu KB were waiting for it",
                      m_conn->eof ? "yes" : "no", waiting / 1024);
        return text;
    }

private:
    std::unique_ptr<Conn> m_conn;
};

// Each '?' shows the help screen and pauses that client's own frames.
class HelpPresser : public Companion {
public:
    const char* title() const override { return "c: other client presses '?' every 200 ms"; }
    bool prepare(ServerProcess& server) override
    {
        m_conn = std::make_unique<Conn>(connect_to(server.port()));
        return join(*m_conn, "helpless");
    }
    void start() override
    {
        m_thread = std::thread([this] { run(); });
        // Let a help pause be under way when the fast client starts.
        std::this_thread::sleep_for(LEAD);
        m_presses_at_start = m_presses;
    }
    std::string finish(Conn&) override
    {
        int during = m_presses - m_presses_at_start;
        m_stop = true;
        m_thread.join();
        char text[160];
        std::snprintf(text, sizeof text, "'?' pressed %d times in all, %d during the fast client's commands; lost: %s",
                      m_presses.load(), during, m_conn->eof ? "YES" : "no");
        return text;
    }

private:
    static constexpr milliseconds PERIOD { 200 };
    static constexpr milliseconds LEAD { 300 };
    void run()
    {
        auto next = Clock::now();
        while (!m_stop && !m_conn->eof) {
            if (Clock::now() >= next) {
                m_conn->send("?");
                ++m_presses;
                next += PERIOD;
            }
            auto left = std::chrono::ceil<milliseconds>(next - Clock::now()).count();
            m_conn->read_some(static_cast<int>(std::max<long long>(left, 0)));
            m_conn->buf.clear();
        }
    }
    std::unique_ptr<Conn> m_conn;
    std::thread m_thread;
    std::atomic<bool> m_stop { false };
    std::atomic<int> m_presses { 0 };
    int m_presses_at_start { 0 };
};

// The class menu is answered before a slot is taken: a client sitting at it
// is not in the game at all.
class AtClassMenu : public Companion {
public:
    const char* title() const override { return "d: other client sits at the class menu"; }
    bool prepare(ServerProcess& server) override
    {
        m_conn = std::make_unique<Conn>(connect_to(server.port()));
        return log_in(*m_conn, "undecided") && !m_conn->until("undead.").empty();
    }
    std::string finish(Conn&) override
    {
        return std::string("class menu client still waiting: ") + yes_no(still_open(m_conn->fd));
    }

private:
    std::unique_ptr<Conn> m_conn;
};

// The shop's offer waits for its answer without the game lock; that client's
// frames are held back meanwhile so that the offer stays on its screen.
class InShop : public Companion {
public:
    const char* title() const override { return "e: other client sits in the shop"; }
    bool prepare(ServerProcess& server) override
    {
        m_conn = std::make_unique<Conn>(connect_to(server.port()));
        // Joining first makes it player 0, the record put on the shop.
        auto level = party_level(2);
        level->player.x = level->stores[0].x;
        level->player.y = level->stores[0].y;
        level->player.gold = 100;
        return write_save(server, *level) && join(*m_conn, "shopper");
    }
    bool after_fast_join() override
    {
        // Loading replaces the world for both players.
        return m_conn->send("L") && !m_conn->frame_with("Game loaded").empty() && (m_conn->drain(), true)
            && m_conn->send("s") && !m_conn->until("or 0 to cancel: ").empty();
    }
    std::string finish(Conn&) override
    {
        while (m_conn->read_some(100)) {
        }
        bool held = m_conn->buf.find(FRAME_END) == std::string::npos && !m_conn->eof;
        return std::string("shop offer still open, that client's frames held back: ") + yes_no(held);
    }

private:
    std::unique_ptr<Conn> m_conn;
};

// A player who keeps pressing 'S' or 'L' (each followed by a refusal, so
// that every answer is told apart from the last) with a day of saves in the
// folder: the file work must not hold up anybody else's keys.
class FilePresser : public Companion {
public:
    FilePresser(const char* title, const char* key, const char* answer, const char* config)
        : m_title(title), m_key(key), m_answer(answer), m_config(config)
    {
    }
    const char* title() const override { return m_title; }
    std::string config() const override { return m_config; }
    bool replaces_world() const override { return *m_key == 'L'; }
    bool prepare(ServerProcess& server) override
    {
        m_dir = server.dir() + "/saves";
        m_conn = std::make_unique<Conn>(connect_to(server.port()));
        auto level = party_level(2);
        return fill_saves(server, DAY_OF_SAVES) && (*m_key != 'L' || write_save(server, *level))
            && join(*m_conn, "presser");
    }
    void start() override
    {
        m_started = Clock::now();
        m_thread = std::thread([this] { run(); });
    }
    std::string finish(Conn&) override
    {
        m_stop = true;
        m_thread.join();
        double seconds = std::chrono::duration<double>(Clock::now() - m_started).count();
        char text[200];
        std::snprintf(text, sizeof text, "'%s' answered %d times (%.1f/s), none lost: %s; files in saves/ now: %zu",
                      m_key, m_presses.load(), m_presses / seconds, yes_no(!m_failed),
                      static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(m_dir),
                                                             std::filesystem::directory_iterator())));
        return text;
    }

private:
    void run()
    {
        while (!m_stop) {
            if (!m_conn->send(m_key) || m_conn->frame_with(m_answer).empty() || !m_conn->send(REFUSALS[0].key)
                || m_conn->frame_with(REFUSALS[0].answer).empty()) {
                m_failed = true;
                return;
            }
            ++m_presses;
        }
    }
    const char* m_title;
    const char* m_key;
    const char* m_answer;
    const char* m_config;
    std::string m_dir;
    std::unique_ptr<Conn> m_conn;
    std::thread m_thread;
    std::atomic<bool> m_stop { false };
    std::atomic<int> m_presses { 0 };
    bool m_failed { false };
    Clock::time_point m_started {};
};

// Watchers: each connects, asks to watch at the first menu and picks a seat.
bool watch(Conn& c, int seat)
{
    return !c.until("Select: ").empty() && c.send("w\n") && !c.until("(q to leave)? ").empty()
        && c.send(std::to_string(seat) + "\n") && !c.until(FRAME_END).empty();
}

// Reads and drops everything the watchers are sent until asked to stop.
class WatcherReaders {
public:
    explicit WatcherReaders(std::vector<Conn>& conns) : m_conns(conns) {}
    void start() { m_thread = std::thread([this] { run(); }); }
    // The bytes read in all.
    std::size_t stop()
    {
        m_stop = true;
        m_thread.join();
        return m_bytes;
    }

private:
    void run()
    {
        std::vector<pollfd> fds;
        for (const Conn& c : m_conns)
            fds.push_back({ c.fd, POLLIN, 0 });
        char buf[65536];
        while (!m_stop) {
            if (poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            for (pollfd& p : fds) {
                ssize_t n = (p.revents & (POLLIN | POLLHUP | POLLERR)) ? recv(p.fd, buf, sizeof buf, MSG_DONTWAIT) : -1;
                if (n > 0)
                    m_bytes += static_cast<std::size_t>(n);
                else if (n == 0)
                    p.fd = -1;  // poll skips it from now on
            }
        }
    }
    std::vector<Conn>& m_conns;
    std::thread m_thread;
    std::atomic<bool> m_stop { false };
    std::size_t m_bytes { 0 };
};

// Four players alone, then with 16 watchers beside them (four of which read
// nothing): the players' latency must not change.
bool run_watch_scene(const std::string& program, long commands)
{
    constexpr int PLAYERS = 4, WATCHERS = 16, STALLED = 4;
    std::printf("scene w: four players, then four players and %d watchers (%d reading nothing)\n", WATCHERS, STALLED);
    ServerProcess server(program, "WATCHERS=" + std::to_string(WATCHERS) + "\n");
    std::vector<Conn> players, reading, stalled;
    for (int i = 0; i < PLAYERS && server.listening(); ++i) {
        players.emplace_back(connect_to(server.port()));
        if (!join(players.back(), "player" + std::to_string(i)))
            break;
    }
    if (players.size() != PLAYERS) {
        std::printf("  could not set the scene up\n");
        return false;
    }
    for (Conn& c : players)
        c.drain();
    Budget budget;
    budget.commands = commands;
    Phase alone = run_closed_loop(players, budget, REFUSALS);
    for (int i = 0; i < WATCHERS; ++i) {
        std::vector<Conn>& group = i < STALLED ? stalled : reading;
        group.emplace_back(connect_to(server.port(), i < STALLED ? SMALL_RCVBUF : 0));
        if (!watch(group.back(), i % PLAYERS + 1)) {
            std::printf("  watcher %d could not pick a seat\n", i);
            return false;
        }
    }
    WatcherReaders readers(reading);
    readers.start();
    Phase watched = run_closed_loop(players, budget, REFUSALS);
    std::size_t bytes = readers.stop();
    auto still_connected = [](const std::vector<Conn>& group) {
        return std::count_if(group.begin(), group.end(), [](const Conn& c) { return still_open(c.fd); });
    };
    std::printf("  players alone:         commands=%lld %s\n  players with watchers: commands=%lld %s\n"
                "  still connected: %td of %zu reading watchers (%zu MB read), %td of %zu stalled ones\n",
                alone.commands, latency_text(alone).c_str(), watched.commands, latency_text(watched).c_str(),
                still_connected(reading), reading.size(), bytes >> 20, still_connected(stalled), stalled.size());
    std::fflush(stdout);
    return alone.lost == 0 && watched.lost == 0;
}

bool run_scene(const std::string& program, long commands, Companion& other)
{
    std::printf("scene %s\n", other.title());
    ServerProcess server(program, other.config());
    std::vector<Conn> fast;
    fast.emplace_back(-1);
    if (!server.listening() || !other.prepare(server) || (fast[0].fd = connect_to(server.port())) < 0
        || !join(fast[0], "fast") || !other.after_fast_join()) {
        std::printf("  could not set the scene up\n");
        return false;
    }
    fast[0].drain();
    other.start();
    Budget budget;
    budget.commands = commands;
    Phase p = run_closed_loop(fast, budget, other.replaces_world() ? REFUSALS_LOADED_OVER : REFUSALS);
    std::string note = other.finish(fast[0]);
    std::string rss = server.peak_rss();
    int reports = server.lock_reports();
    fast.clear();
    server.wait_for_reports(reports + 1);
    std::printf("  fast client: commands=%lld %s\n  %s\n  server lock stats %s; peak RSS %s\n", p.commands,
                latency_text(p).c_str(), note.c_str(), server.lock_stats("command").c_str(), rss.c_str());
    std::fflush(stdout);
    return p.lost == 0;
}
}  // namespace

bool run_scenes(const std::string& program, long commands, const std::string& only)
{
    SlowReader a;
    Stalled b;
    HelpPresser c;
    AtClassMenu d;
    InShop e;
    FilePresser f("f: other client presses 'S' non-stop, 86,400 saves kept (SAVES_KEPT=0)", "S",
                  "Game saved successfully", "SAVES_KEPT=0\n");
    FilePresser g("g: other client presses 'L' non-stop, 86,400 saves in the folder", "L", "Game loaded from", "");
    FilePresser h("h: other client presses 'S' non-stop, 86,400 saves pruned to the newest 100 by the first", "S",
                  "Game saved successfully", "");
    Companion* scenes[] = { &a, &b, &c, &d, &e, &f, &g, &h };
    bool ok = true;
    for (Companion* scene : scenes)
        if (only.empty() || only.find(scene->title()[0]) != std::string::npos)
            ok = run_scene(program, commands, *scene) && ok;
    if (only.empty() || only.find('w') != std::string::npos)
        ok = run_watch_scene(program, commands) && ok;
    return ok;
}
}  // namespace load
