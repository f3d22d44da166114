// The reload: the program starts itself again in the same process (the PID
// stays), handing the listening socket and every joined player's socket to
// the new program in one environment variable, beside world.dat.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <utility>
#include <unistd.h>

#include "log/log.hpp"
#include "server/client_output.hpp"
#include "server/keeper.hpp"
#include "server/server.hpp"
#include "server/server_internal.hpp"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

// "<listener fd> <fd>:<account in hex> ...", read once and removed at start.
constexpr const char* RELOAD_VARIABLE = "MZDELVE_RELOAD";
constexpr const char* AGAIN_TEXT = "\nServer restarting: please log in again.\n";
// How long the writers may take to finish the frame under way.
constexpr auto PARK_WAIT = std::chrono::milliseconds(1000);
// A browser's last words go through the web door, which has no way to say
// that it has passed them on; exec ends it.
constexpr auto BROWSER_WAIT = std::chrono::milliseconds(100);
// The new program holds a passed player's seat at least this long, whatever
// SEAT_HOLD says: the connection is back on it within milliseconds.
constexpr std::int32_t PASSED_HOLD_S = 60;

struct Invocation {
    std::string path;
    std::vector<std::string> args;
};

Invocation& invocation()
{
    static Invocation i;
    return i;
}

struct Inherited {
    bool present = false;
    int listener = -1;
    std::vector<std::pair<int, std::string>> players;
};

Inherited& inherited()
{
    static Inherited i;
    return i;
}

// An absolute path, found the way a shell finds a command; symbolic links
// stay, so that an upgrade that moves a link is followed.
std::string absolute_program(const char* argv0)
{
    std::string name = argv0 ? argv0 : "";
    if (name.empty() || name.front() == '/')
        return name;
    if (name.find('/') != std::string::npos) {
        char cwd[4096];
        return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + name : name;
    }
    const char* path = std::getenv("PATH");
    for (std::string_view dirs = path ? path : ""; !dirs.empty();) {
        std::size_t colon = std::min(dirs.find(':'), dirs.size());
        std::string candidate = std::string(dirs.substr(0, colon)) + "/" + name;
        dirs.remove_prefix(std::min(colon + 1, dirs.size()));
        if (candidate.front() == '/' && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return name;
}

std::string hex(std::string_view text)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

bool unhex(std::string_view text, std::string& out)
{
    auto value = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; };
    if (text.size() % 2 != 0 || text.size() > 2 * SEAT_NAME_LEN)
        return false;
    out.clear();
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int hi = value(text[i]), lo = value(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi * 16 + lo);
    }
    return true;
}

bool parse_fd(std::string_view text, int& fd)
{
    if (text.empty() || text.size() > 6 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    fd = std::atoi(std::string(text).c_str());
    return fd > 2;
}

// A stream socket this process holds, closed on exec again; a listening one when asked.
bool take_socket(int fd, bool listening)
{
    struct stat st {};
    int accepting = 0;
    socklen_t len = sizeof accepting;
    if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)
        || getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) != 0 || (accepting != 0) != listening)
        return false;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return true;
}

void take_inheritance(std::string_view text)
{
    Inherited& in = inherited();
    in.present = true;
    for (bool first = true; !text.empty(); first = false) {
        std::size_t space = std::min(text.find(' '), text.size());
        std::string_view word = text.substr(0, space);
        text.remove_prefix(std::min(space + 1, text.size()));
        std::size_t colon = word.find(':');
        int fd = -1;
        std::string account;
        if (first && parse_fd(word, fd) && take_socket(fd, true))
            in.listener = fd;
        else if (!first && colon != std::string_view::npos && in.players.size() < MAX_CLIENTS
                 && parse_fd(word.substr(0, colon), fd) && unhex(word.substr(colon + 1), account) && take_socket(fd, false))
            in.players.emplace_back(fd, account);
    }
}

// What a reload passes on: a duplicate of each socket, open across exec.
struct Passing {
    int fd;
    std::string account;
    std::shared_ptr<ClientOutput> out;
};

struct Leaving {
    int fd;
    std::shared_ptr<ClientOutput> out;
};

int duplicate_for_exec(int fd) { return fcntl(fd, F_DUPFD, 3); }

// Every other descriptor closes on exec, whoever opened it and how.
void close_the_rest_on_exec(const std::vector<int>& keep)
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return;
    for (struct dirent* e; (e = readdir(dir));) {
        int fd = std::atoi(e->d_name);
        if (fd > 2 && fd != dirfd(dir) && std::find(keep.begin(), keep.end(), fd) == keep.end())
            fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
    closedir(dir);
}

std::vector<std::string> environment_with(const std::string& entry)
{
    std::vector<std::string> env;
    std::string prefix = std::string(RELOAD_VARIABLE) + "=";
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0)
            env.emplace_back(*e);
    env.push_back(prefix + entry);
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& texts)
{
    std::vector<char*> out;
    for (std::string& t : texts)
        out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

// The joined players, every one of them stopped at the end of a frame, and
// the world as they see it; everybody else's link stays as it is.
void gather(WorldSnapshot& snap, std::vector<Passing>& passing, std::vector<Leaving>& leaving)
{
    std::lock_guard<std::mutex> lock(game_mutex());
    take_snapshot_locked(snap);
    for (const JoinedSocket& joined : joined_sockets_locked()) {
        std::shared_ptr<ClientOutput> out = output_of_slot_locked(joined.slot);
        if (!out)
            continue;
        out->park();
        // A browser's socketpair leads back into this process.
        if (joined.transport == Transport::Browser)
            leaving.push_back({ joined.fd, std::move(out) });
        else
            passing.push_back({ duplicate_for_exec(joined.fd), joined.account, std::move(out) });
        if (joined.transport == Transport::Tcp && joined.slot >= 0 && joined.slot < MAX_PLAYERS)
            snap.seats[joined.slot].hold_left = std::max(snap.seats[joined.slot].hold_left, PASSED_HOLD_S);
    }
}

// A writer that cannot finish its frame in time would leave it torn: that
// player is not passed on, and logs in again to the held seat.
void settle(std::vector<Passing>& passing)
{
    auto until = Clock::now() + PARK_WAIT;
    for (Passing& p : passing) {
        if (p.fd >= 0 && !p.out->wait_parked(until)) {
            close(p.fd);
            p.fd = -1;
        }
    }
}

void say_goodbye(const std::vector<Leaving>& leaving)
{
    auto until = Clock::now() + BROWSER_WAIT;
    for (const Leaving& l : leaving)
        l.out->close_with(KEPT_CHARACTER_TEXT);
    for (const Leaving& l : leaving)
        l.out->wait_done(until);
    if (!leaving.empty())
        std::this_thread::sleep_until(until);
}

void give_up(std::vector<Passing>& passing, const std::vector<Leaving>& leaving, int listener_copy)
{
    for (Passing& p : passing) {
        if (p.fd >= 0)
            close(p.fd);
        p.out->resume();
    }
    // Told goodbye already: their threads see the end and their seats are held.
    for (const Leaving& l : leaving)
        shutdown(l.fd, SHUT_RDWR);
    if (listener_copy >= 0)
        close(listener_copy);
}

std::string inheritance_text(int listener_copy, const std::vector<Passing>& passing, std::vector<int>& keep, int& players)
{
    std::string text = std::to_string(listener_copy);
    keep.push_back(listener_copy);
    players = 0;
    for (const Passing& p : passing) {
        if (p.fd < 0)
            continue;
        text += " " + std::to_string(p.fd) + ":" + hex(p.account);
        keep.push_back(p.fd);
        ++players;
    }
    return text;
}

long long ms_since(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}
}  // namespace

void remember_invocation(const char* argv0, std::vector<std::string> args)
{
    Invocation& i = invocation();
    i.path = absolute_program(argv0);
    i.args = std::move(args);
    if (const char* passed = std::getenv(RELOAD_VARIABLE)) {
        std::string text = passed;
        unsetenv(RELOAD_VARIABLE);
        take_inheritance(text);
    }
}

bool started_by_reload() { return inherited().present; }

int inherited_listener() { return std::exchange(inherited().listener, -1); }

void adopt_inherited_players()
{
    std::vector<std::pair<int, std::string>> players = std::move(inherited().players);
    inherited().players.clear();
    for (auto& [fd, account] : players) {
        struct sockaddr_storage from {};
        socklen_t len = sizeof from;
        getpeername(fd, reinterpret_cast<struct sockaddr*>(&from), &len);
        PeerAddress peer(from, len);
        ClientOrigin origin { peer, peer.text(), Transport::Tcp };
        try {
            std::thread([fd = fd, origin = std::move(origin), account = std::move(account)]() mutable {
                adopted_client_thread(UniqueFd(fd), std::move(origin), std::move(account));
            }).detach();
        } catch (const std::system_error&) {
            close(fd);
        }
    }
}

void reload_program(int listener)
{
    auto start = Clock::now();
    const Invocation& how = invocation();
    if (how.path.empty()) {
        log_event("reload refused: the program's path is unknown");
        return;
    }
    std::unique_lock<std::mutex> writer = snapshot_writer_lock();
    auto snap = std::make_unique<WorldSnapshot>();
    std::vector<Passing> passing;
    std::vector<Leaving> leaving;
    gather(*snap, passing, leaving);
    settle(passing);
    int listener_copy = duplicate_for_exec(listener);
    SnapshotOutcome outcome = store_snapshot(*snap);
    if (!outcome.written || listener_copy < 0) {
        give_up(passing, {}, listener_copy);
        for (const Leaving& l : leaving)
            l.out->resume();
        log_event("reload refused%s", outcome.written ? ": no descriptor for the listening socket" : outcome.summary.c_str());
        return;
    }
    say_goodbye(leaving);
    tell_prejoin(AGAIN_TEXT);
    std::vector<int> keep;
    int players = 0;
    std::vector<std::string> env = environment_with(inheritance_text(listener_copy, passing, keep, players));
    std::vector<std::string> args = how.args;
    close_the_rest_on_exec(keep);
    log_event("reload exec \"%s\" with %d players%s, after %lld ms", how.path.c_str(), players, outcome.summary.c_str(),
              ms_since(start));
    flush_recordings(RECORDING_FLUSH_WAIT);
    flush_event_log(500);
    std::vector<char*> argv = pointers(args);
    std::vector<char*> envp = pointers(env);
    // A server started from the menu leaves the terminal as it found it.
    restore_terminal();
    execve(how.path.c_str(), argv.data(), envp.data());
    int err = errno;
    give_up(passing, leaving, listener_copy);
    log_event("reload failed: cannot run \"%s\": %s; serving on", how.path.c_str(), std::strerror(err));
}
