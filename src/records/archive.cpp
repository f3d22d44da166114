#include "records/archive.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>
#include <zlib.h>

#include "log/log.hpp"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view LIVE_SUFFIX = ".ttyrec";
constexpr std::string_view DONE_SUFFIX = ".ttyrec.gz";
constexpr std::size_t CHUNK = 64 * 1024;

bool ends_with(std::string_view s, std::string_view tail)
{
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { close_now(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    bool close_now() { return m_fd < 0 || ::close(std::exchange(m_fd, -1)) == 0; }

private:
    int m_fd;
};

bool write_all(int fd, const unsigned char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

ssize_t read_some(int fd, unsigned char* out, std::size_t size)
{
    ssize_t n;
    do
        n = read(fd, out, size);
    while (n < 0 && errno == EINTR);
    return n;
}

// Deflates everything from in to out as one gzip member.
bool gzip_stream(int in, int out)
{
    z_stream z {};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    std::vector<unsigned char> src(CHUNK), dst(CHUNK);
    bool ok = true;
    int flush = Z_NO_FLUSH;
    while (ok && flush != Z_FINISH) {
        ssize_t n = read_some(in, src.data(), src.size());
        ok = n >= 0;
        flush = n <= 0 ? Z_FINISH : Z_NO_FLUSH;
        z.next_in = src.data();
        z.avail_in = static_cast<uInt>(std::max<ssize_t>(n, 0));
        do {
            z.next_out = dst.data();
            z.avail_out = static_cast<uInt>(dst.size());
            ok = ok && deflate(&z, flush) != Z_STREAM_ERROR;
            ok = ok && write_all(out, dst.data(), dst.size() - z.avail_out);
        } while (ok && z.avail_out == 0);
    }
    deflateEnd(&z);
    return ok;
}

void sync_directory(const std::string& dir)
{
    Fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid())
        fsync(fd.get());
}

std::string directory_of(const std::string& path)
{
    std::string dir = fs::path(path).parent_path().string();
    return dir.empty() ? "." : dir;
}

struct Entry {
    std::string path;
    std::uint64_t size;
    fs::file_time_type time;
};

// The regular files (or, with want_dirs, the folders) in dir, links never
// followed; a folder that cannot be read has none.
template <typename Visit>
void for_each_entry(const fs::path& dir, bool want_dirs, Visit visit)
{
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code entry_ec;
        fs::file_status st = it->symlink_status(entry_ec);
        if (!entry_ec && (want_dirs ? fs::is_directory(st) : fs::is_regular_file(st)))
            visit(*it);
    }
}

// Two levels: the account folders and their files.
std::uint64_t survey(const std::string& root, std::vector<Entry>& finished)
{
    std::uint64_t total = 0;
    for_each_entry(root, true, [&](const fs::directory_entry& account) {
        for_each_entry(account.path(), false, [&](const fs::directory_entry& file) {
            std::error_code ec;
            std::uint64_t size = file.file_size(ec);
            fs::file_time_type time = file.last_write_time(ec);
            if (ec)
                return;
            total += size;
            if (ends_with(file.path().filename().string(), DONE_SUFFIX))
                finished.push_back({ file.path().string(), size, time });
        });
    });
    return total;
}

}  // namespace

std::string account_folder(std::string_view account)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < account.size(); ++i) {
        auto c = static_cast<unsigned char>(account[i]);
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
            || c == '_' || (c == '.' && i > 0);
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out.empty() ? "%" : out;
}

std::string recording_path(std::string_view root, std::string_view account, std::time_t start)
{
    std::tm tm {};
    gmtime_r(&start, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &tm);
    return std::string(root) + "/" + account_folder(account) + "/" + stamp + std::string(LIVE_SUFFIX);
}

std::optional<std::string> unfinished_recording(std::string_view root, std::string_view account)
{
    std::optional<Entry> newest;
    for_each_entry(std::string(root) + "/" + account_folder(account), false, [&](const fs::directory_entry& file) {
        std::string name = file.path().filename().string();
        std::error_code ec;
        Entry e { file.path().string(), 0, file.last_write_time(ec) };
        if (!ec && ends_with(name, LIVE_SUFFIX) && name[0] != '.'
            && (!newest || std::tie(e.time, e.path) > std::tie(newest->time, newest->path)))
            newest = e;
    });
    if (!newest)
        return std::nullopt;
    return newest->path;
}

// The compressed file only takes the recording's place once it is whole and
// on disk, so a crash at any point leaves one of the two intact.
bool compress_recording(const std::string& path)
{
    const std::string dir = directory_of(path);
    const std::string gz = path + ".gz";
    const std::string temp = dir + "/.partial-" + fs::path(gz).filename().string();
    auto fail = [&](const char* step) {
        int error = errno;
        unlink(temp.c_str());
        log_event("record %s not compressed: %s: %s", log_quote(path).c_str(), step, std::strerror(error));
        return false;
    };
    Fd in(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (!in.valid() || fstat(in.get(), &st) != 0)
        return fail("open");
    unlink(temp.c_str());  // a leftover of a crash
    Fd out(open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
    if (!out.valid())
        return fail("create");
    if (!gzip_stream(in.get(), out.get()) || fsync(out.get()) != 0 || !out.close_now())
        return fail("write");
    if (rename(temp.c_str(), gz.c_str()) != 0)
        return fail("rename");
    unlink(path.c_str());
    sync_directory(dir);
    struct stat done {};
    stat(gz.c_str(), &done);
    log_event("record compressed %s %lld -> %lld bytes", log_quote(gz).c_str(), static_cast<long long>(st.st_size),
              static_cast<long long>(done.st_size));
    return true;
}

int keep_recordings_below(const std::string& root, std::uint64_t keep_bytes)
{
    std::vector<Entry> finished;
    std::uint64_t total = survey(root, finished);
    std::sort(finished.begin(), finished.end(),
              [](const Entry& a, const Entry& b) { return std::tie(a.time, a.path) < std::tie(b.time, b.path); });
    int removed = 0;
    for (const Entry& f : finished) {
        if (total <= keep_bytes)
            break;
        if (unlink(f.path.c_str()) != 0)
            continue;
        total -= f.size;
        ++removed;
        log_event("record removed %s %llu bytes: the folder is kept below %llu MiB", log_quote(f.path).c_str(),
                  static_cast<unsigned long long>(f.size), static_cast<unsigned long long>(keep_bytes >> 20));
        std::error_code ec;
        fs::remove(fs::path(f.path).parent_path(), ec);  // only when that account has nothing left
    }
    return removed;
}

RecordingArchive::RecordingArchive(std::string root, std::uint64_t keep_bytes)
    : m_root(std::move(root)), m_keep_bytes(keep_bytes)
{
}

RecordingArchive::~RecordingArchive()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_changed.notify_all();
    }
    if (m_worker.joinable())
        m_worker.join();
}

bool RecordingArchive::start()
{
    std::lock_guard lock(m_mutex);
    if (m_worker.joinable())
        return true;
    m_jobs.emplace_front();
    try {
        m_worker = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void RecordingArchive::finished(std::string path)
{
    std::lock_guard lock(m_mutex);
    m_jobs.push_back(std::move(path));
    m_changed.notify_all();
}

bool RecordingArchive::flush(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [this] { return m_jobs.empty() && !m_busy; });
}

void RecordingArchive::run()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return !m_jobs.empty() || m_stopping; });
        if (m_jobs.empty())
            return;
        std::string path = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_busy = true;
        lock.unlock();
        if (!path.empty())
            compress_recording(path);
        keep_recordings_below(m_root, m_keep_bytes);
        lock.lock();
        m_busy = false;
        m_changed.notify_all();
    }
}
