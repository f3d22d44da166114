// Reading, searching and atomically replacing the flat file of 112-byte records.
#include "accounts/user_file.hpp"

#include "files/files.hpp"
#include "term/term.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <openssl/evp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reads up to size bytes; the count actually read, or -1 on an error.
ssize_t read_fully(int fd, char* buf, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = read_some(fd, buf + got, size - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Holds an exclusive flock on the lock file while it lives. Every holder opens
// the file anew, and flock locks on separate opens exclude each other, so this
// serialises threads of one process as well as separate processes.
class UsersLock {
public:
    UsersLock() : m_fd(open(USERS_LOCK_FILE, O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        while (m_fd.valid() && flock(m_fd.get(), LOCK_EX) != 0)
            if (errno != EINTR)
                m_fd.reset();
    }
    bool held() const { return m_fd.valid(); }

private:
    UniqueFd m_fd;  // closing it releases the lock
};

}  // namespace

std::optional<std::vector<UserRecord>> read_user_file()
{
    // A FIFO of that name would otherwise hold the open until a writer came.
    UniqueFd fd(open(USERS_FILE, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT)
            return std::vector<UserRecord> {};
        return std::nullopt;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > MAX_USERS_FILE_SIZE)
        return std::nullopt;
    std::vector<UserRecord> users;
    try {
        users.resize(static_cast<std::size_t>(st.st_size) / sizeof(UserRecord));
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    // Another program may still be writing the file in place: keep only the
    // records that were read whole.
    ssize_t got = read_fully(fd.get(), reinterpret_cast<char*>(users.data()),
                             users.size() * sizeof(UserRecord));
    if (got < 0)
        return std::nullopt;
    users.resize(static_cast<std::size_t>(got) / sizeof(UserRecord));
    return users;
}

std::vector<UserRecord> load_users() { return read_user_file().value_or(std::vector<UserRecord> {}); }

const UserRecord* find_user(const std::vector<UserRecord>& users, std::string_view name)
{
    for (const UserRecord& user : users) {
        // A record written elsewhere may fill all 64 bytes without a NUL.
        std::size_t len = strnlen(user.username, USERNAME_LEN);
        if (len == name.size() && std::memcmp(user.username, name.data(), len) == 0)
            return &user;
    }
    return nullptr;
}

bool replace_user_file(const std::vector<UserRecord>& users)
{
    std::string_view bytes(reinterpret_cast<const char*>(users.data()), users.size() * sizeof(UserRecord));
    return write_file_atomically(USERS_FILE, bytes, S_IRUSR | S_IWUSR);
}

AddUser add_user(const UserRecord& record)
{
    UsersLock lock;
    if (!lock.held())
        return AddUser::Failed;
    // Read under the lock: the caller's earlier look may be stale by now.
    auto users = read_user_file();
    if (!users)
        return AddUser::Failed;
    if (find_user(*users, { record.username, strnlen(record.username, USERNAME_LEN) }))
        return AddUser::NameTaken;
    try {
        users->push_back(record);
    } catch (const std::bad_alloc&) {
        return AddUser::Failed;
    }
    return replace_user_file(*users) ? AddUser::Added : AddUser::Failed;
}

bool derive_key(std::string_view password, const unsigned char (&salt)[SALT_LEN],
                unsigned char (&key)[KEY_LEN])
{
    return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt, SALT_LEN,
                             PBKDF2_ITERATIONS, EVP_sha256(), KEY_LEN, key)
        == 1;
}
