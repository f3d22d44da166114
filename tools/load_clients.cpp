// Load tool for the server: starts mzDELVE as a server on a free loopback
// port, joins 1 to 4 clients (set-up not timed), drives them in a closed loop
// (send a key, wait for the own frame that answers it) and reports commands
// per second, key-to-frame latency, the server's peak RSS and its lock
// statistics; then floods it with short and garbage connections and checks
// that no descriptor or thread is left behind.
//
//   load_clients <path to mzDELVE> [seconds per phase] [refuse|wait]
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
constexpr std::string_view FRAME_END = "Input: \x1b[0m";

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

struct Conn {
    int fd = -1;
    std::string buf;
    bool eof = false;
    // Which of the two keys comes next; kept across phases so that the
    // first key of a phase never expects the message already shown.
    int next_key = 0;
    bool send(std::string_view s) const { return ::send(fd, s.data(), s.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(s.size()); }
    // Everything up to and including needle, or empty after timeout_ms / EOF.
    // Scans only bytes not yet searched, so a frame arriving in many pieces
    // costs the client one pass: the tool must not be the bottleneck.
    std::string until(std::string_view needle, int timeout_ms = 5000)
    {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        std::size_t scanned = 0;
        for (;;) {
            auto at = buf.find(needle, scanned);
            if (at != std::string::npos) {
                std::string out = buf.substr(0, at + needle.size());
                buf.erase(0, at + needle.size());
                return out;
            }
            scanned = buf.size() >= needle.size() ? buf.size() - needle.size() + 1 : 0;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd p { fd, POLLIN, 0 };
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                return {};
            std::size_t old = buf.size();
            buf.resize(old + 65536);
            ssize_t n = read(fd, buf.data() + old, 65536);
            buf.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            if (n <= 0) {
                eof = true;
                return {};
            }
        }
    }
    void close_now()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
};

bool join(Conn& c, const std::string& user)
{
    auto step = [&](std::string_view wait, std::string_view answer) {
        return !c.until(wait).empty() && c.send(answer);
    };
    return step("Select: ", "r\n") && step("Choose a username: ", user + "\n") && step("Choose a password: ", "pw\n")
        && step("Username: ", user + "\n") && step("Password: ", "pw\n")
        && step("Enter your chat username: ", user + "\n") && step("undead.\n", "1\n") && !c.until(FRAME_END).empty()
        && !c.until(FRAME_END).empty();
}

int count_dir(const std::string& path)
{
    int n = 0;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

std::string status_field(pid_t pid, const char* field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return line.substr(std::strlen(field));
    return "?";
}

struct Key {
    const char* key;
    const char* answer;  // text of the acting player's own message line
    // A world step may put a monster's message in place of the answer; then
    // the first frame that no longer shows the other key's answer counts.
    bool any_change = false;
};

struct Phase {
    std::vector<double> latencies_us;
    long long commands = 0;
    double seconds = 0;
    int lost = 0;
    int closed = 0;  // of the lost ones, closed by the server
};

// Each client alternates two keys whose messages differ, so the first frame
// showing the new message is the one its own command produced.
Phase run_phase(std::vector<Conn>& conns, double seconds, const Key (&keys)[2])
{
    Phase out;
    std::vector<std::vector<double>> lat(conns.size());
    std::atomic<int> lost { 0 };
    auto start = Clock::now();
    auto stop = start + std::chrono::duration<double>(seconds);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < conns.size(); ++i) {
        threads.emplace_back([&, i] {
            Conn& c = conns[i];
            for (int& k = c.next_key; Clock::now() < stop; k ^= 1) {
                auto t = Clock::now();
                if (!c.send(keys[k].key)) {
                    ++lost;
                    return;
                }
                for (;;) {
                    std::string f = c.until(FRAME_END);
                    if (f.empty()) {
                        ++lost;
                        return;
                    }
                    if (f.find(keys[k].answer) != std::string::npos
                        || (keys[k].any_change && f.find(keys[k ^ 1].answer) == std::string::npos))
                        break;
                }
                lat[i].push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
            }
        });
    }
    for (auto& t : threads)
        t.join();
    out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& v : lat)
        out.latencies_us.insert(out.latencies_us.end(), v.begin(), v.end());
    out.commands = static_cast<long long>(out.latencies_us.size());
    out.lost = lost;
    for (auto& c : conns)
        out.closed += c.eof;
    std::sort(out.latencies_us.begin(), out.latencies_us.end());
    // Frames of the last commands still in flight belong to nobody now.
    for (auto& c : conns)
        while (!c.until(FRAME_END, 100).empty()) {
        }
    return out;
}

double percentile(const std::vector<double>& sorted, double p)
{
    if (sorted.empty())
        return 0;
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(p * static_cast<double>(sorted.size())))];
}

void churn(int port, int cycles, int garbage_conns)
{
    for (int i = 0; i < cycles; ++i) {
        Conn c { connect_to(port), {} };
        if (i % 2)
            c.until("Select: ", 2000);
        c.close_now();
    }
    std::string garbage(4096, '\0');
    for (std::size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<char>((i * 131 + 7) % 256);
    for (int i = 0; i < garbage_conns; ++i) {
        Conn c { connect_to(port), {} };
        c.send(garbage);
        c.until("\x01never", 20);
        c.close_now();
    }
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <mzDELVE> [seconds per phase] [refuse|wait]\n", argv[0]);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    bool wait_keys = argc > 3 && std::string(argv[3]) == "wait";
    // 'c' and 'a' are refusals for a Fighter (no turn, no world step); '5'
    // waits a turn, so monsters, projectiles and effects run twice.
    const Key refuse[2] = { { "c", "You know no spells." }, { "a", "Only Necromancers can command undead allies." } };
    const Key waiting[2] = { { "5", "You wait a turn.", true }, { "c", "You know no spells." } };
    const Key(&keys)[2] = wait_keys ? waiting : refuse;

    // The server runs in a scratch directory, so a relative path must be resolved first.
    char program[PATH_MAX];
    if (!realpath(argv[1], program)) {
        std::perror(argv[1]);
        return 1;
    }
    char tmpl[] = "/tmp/delve_load_XXXXXX";
    std::string dir = mkdtemp(tmpl);
    int port = free_port();
    std::ofstream(dir + "/mzdelve.cfg") << "PORT=" << port << "\n";
    std::string err = dir + "/stderr.txt";
    pid_t pid = fork();
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDWR);
        int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null_fd, 0);
        dup2(null_fd, 1);
        dup2(err_fd, 2);
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        setenv("RL_CONFIG_DIR", dir.c_str(), 1);
        setenv("DELVE_LOCK_STATS", "1", 1);
        execl(program, program, "-s", static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 250; ++i) {
        int fd = connect_to(port);
        if (fd >= 0) {
            close(fd);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    std::printf("keys: %s, %.1f s per phase\n", wait_keys ? "'5'/'c' (world step on every other key)" : "'c'/'a' (refusals)", seconds);
    std::vector<Conn> conns;
    for (int n = 1; n <= 4; ++n) {
        conns.push_back(Conn { connect_to(port), {} });
        if (!join(conns.back(), "load" + std::to_string(n))) {
            std::fprintf(stderr, "client %d could not join\n", n);
            kill(pid, SIGKILL);
            return 1;
        }
        for (auto& c : conns)
            while (!c.until(FRAME_END, 100).empty()) {
            }
        Phase p = run_phase(conns, seconds, keys);
        std::printf("clients=%d commands=%lld rate=%.0f/s p50=%.0fus p99=%.0fus max=%.0fus lost=%d closed=%d\n", n, p.commands,
                    static_cast<double>(p.commands) / p.seconds, percentile(p.latencies_us, 0.50),
                    percentile(p.latencies_us, 0.99), p.latencies_us.empty() ? 0.0 : p.latencies_us.back(), p.lost, p.closed);
        std::fflush(stdout);
    }
    std::string proc = "/proc/" + std::to_string(pid);
    std::printf("server peak RSS (VmHWM):%s\n", status_field(pid, "VmHWM:").c_str());

    // Leaving prints the lock statistics on the server's standard error.
    for (std::size_t i = 1; i < conns.size(); ++i)
        conns[i].close_now();
    conns.resize(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int fds = count_dir(proc + "/fd");
    int tasks = count_dir(proc + "/task");
    auto t0 = Clock::now();
    churn(port, 1000, 100);
    double churn_s = std::chrono::duration<double>(Clock::now() - t0).count();
    for (int i = 0; i < 100 && (count_dir(proc + "/fd") != fds || count_dir(proc + "/task") != tasks); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::printf("churn: 1000 connect/disconnect + 100 garbage connections in %.1f s; fds %d -> %d, threads %d -> %d\n",
                churn_s, fds, count_dir(proc + "/fd"), tasks, count_dir(proc + "/task"));
    conns[0].send("c");
    bool serving = !conns[0].until("You know no spells.").empty();
    Conn late { connect_to(port), {} };
    serving = serving && join(late, "late");
    std::printf("still serving after churn: %s\n", serving ? "yes" : "NO");
    std::printf("server peak RSS after churn (VmHWM):%s\n", status_field(pid, "VmHWM:").c_str());
    late.close_now();
    conns[0].close_now();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // The last two summary lines are the totals when the last client left.
    std::ifstream in(err);
    std::string line, command, broadcast;
    while (std::getline(in, line)) {
        if (line.rfind("lock stats command:", 0) == 0)
            command = line;
        if (line.rfind("lock stats broadcast:", 0) == 0)
            broadcast = line;
    }
    std::printf("server %s\nserver %s\n", command.c_str(), broadcast.c_str());
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::string rm = "rm -rf '" + dir + "'";
    return std::system(rm.c_str()) == 0 && serving ? 0 : 1;
}
