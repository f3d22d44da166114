#include "files/files.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { close_now(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // The result of close, which for a written file can report a lost write.
    bool close_now()
    {
        int fd = m_fd;
        m_fd = -1;
        return fd < 0 || close(fd) == 0;
    }

private:
    int m_fd;
};

std::string directory_of(const std::string& path)
{
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Same directory as the target, so that the rename never crosses a file system.
int create_temp(const std::string& dir, mode_t mode, std::string& temp)
{
    static std::atomic<unsigned> counter { 0 };
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = dir + "/.partial-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            break;
    }
    temp.clear();
    return -1;
}

// One writev for all pieces; a short write goes on where it stopped.
bool write_pieces(int fd, std::span<const std::string_view> pieces)
{
    std::vector<iovec> iov;
    iov.reserve(pieces.size());
    for (std::string_view p : pieces)
        if (!p.empty())
            iov.push_back({ const_cast<char*>(p.data()), p.size() });
    std::size_t first = 0;
    while (first < iov.size()) {
        int count = static_cast<int>(std::min<std::size_t>(iov.size() - first, IOV_MAX));
        ssize_t n = writev(fd, iov.data() + first, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        auto done = static_cast<std::size_t>(n);
        while (first < iov.size() && done >= iov[first].iov_len)
            done -= iov[first++].iov_len;
        if (done > 0) {
            iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + done;
            iov[first].iov_len -= done;
        }
    }
    return true;
}

// The rename is only durable once the directory entry itself is on disk.
void sync_directory(const std::string& dir)
{
    Fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid())
        fsync(fd.get());
}

}  // namespace

bool write_file_atomically(const std::string& path, std::span<const std::string_view> pieces, mode_t mode)
{
    const std::string dir = directory_of(path);
    std::string temp;
    Fd fd(create_temp(dir, mode, temp));
    if (!fd.valid())
        return false;
    // open applied the umask; the caller asked for exactly this mode.
    bool ok = fchmod(fd.get(), mode) == 0 && write_pieces(fd.get(), pieces) && fsync(fd.get()) == 0;
    ok = fd.close_now() && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        // The caller's report names the step that failed, not the clean-up.
        int err = errno;
        unlink(temp.c_str());
        errno = err;
        return false;
    }
    sync_directory(dir);
    return true;
}

bool write_file_atomically(const std::string& path, std::string_view bytes, mode_t mode)
{
    return write_file_atomically(path, std::span<const std::string_view>(&bytes, 1), mode);
}

std::optional<std::string> read_whole_file(const std::string& path, std::size_t max_bytes)
{
    Fd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0
        || static_cast<unsigned long long>(st.st_size) > max_bytes)
        return std::nullopt;
    std::string bytes;
    // One byte more than its size tells a file that is growing while read.
    bytes.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = read(fd.get(), bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got == bytes.size())
        return std::nullopt;
    bytes.resize(got);
    return bytes;
}
