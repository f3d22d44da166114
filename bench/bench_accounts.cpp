// Login against a user file of 10,000 accounts: the part that is not the key
// derivation (reading the file, finding the name, the dialogue itself) apart
// from the derivation, and a whole login for reference.
#include "accounts/accounts.hpp"
#include "accounts/user_file.hpp"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int ACCOUNTS = 10000;

// A temporary working directory holding users.dat with ACCOUNTS records; the
// last one, "user9999" with password "pw", is the one that logs in, so every
// lookup walks the whole file.
class UserFileDir {
public:
    UserFileDir()
    {
        char tmpl[] = "/tmp/bench_accounts_XXXXXX";
        m_dir = mkdtemp(tmpl);
        m_old = std::filesystem::current_path();
        std::filesystem::current_path(m_dir);
        std::vector<UserRecord> users(ACCOUNTS);
        for (int i = 0; i < ACCOUNTS; ++i) {
            std::snprintf(users[i].username, USERNAME_LEN, "user%d", i);
            for (int j = 0; j < SALT_LEN; ++j)
                users[i].salt[j] = static_cast<unsigned char>(i + j);
            std::memset(users[i].key, i & 0xff, KEY_LEN);
        }
        derive_key("pw", users.back().salt, users.back().key);
        if (!replace_user_file(users))
            std::abort();
    }
    ~UserFileDir()
    {
        std::filesystem::current_path(m_old);
        std::filesystem::remove_all(m_dir);
    }

private:
    std::string m_dir;
    std::filesystem::path m_old;
};

UserFileDir& user_file()
{
    static UserFileDir dir;
    return dir;
}

void BM_LoadUsers(benchmark::State& state)
{
    user_file();
    for (auto _ : state) {
        std::vector<UserRecord> users = load_users();
        benchmark::DoNotOptimize(users.data());
    }
}
BENCHMARK(BM_LoadUsers)->Unit(benchmark::kMicrosecond);

void BM_LoadAndLookup(benchmark::State& state)
{
    user_file();
    for (auto _ : state) {
        std::vector<UserRecord> users = load_users();
        const UserRecord* user = find_user(users, "user9999");
        if (!user)
            state.SkipWithError("account not found");
        benchmark::DoNotOptimize(user);
    }
}
BENCHMARK(BM_LoadAndLookup)->Unit(benchmark::kMicrosecond);

// A registration of a name already taken runs the whole dialogue (prompts,
// reads, loading and searching the file, the answer) but derives nothing:
// it is everything a login does besides the derivation.
void BM_DialogueWithoutDerivation(benchmark::State& state)
{
    user_file();
    int fds[2];
    // Packets keep the two answers apart even though both are sent ahead.
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0)
        std::abort();
    char sink[256];
    for (auto _ : state) {
        if (write(fds[1], "user9999\n", 9) != 9 || write(fds[1], "pw\n", 3) != 3)
            std::abort();
        register_user(fds[0]);
        for (int i = 0; i < 3; ++i)
            if (read(fds[1], sink, sizeof sink) <= 0)
                std::abort();
    }
    close(fds[0]);
    close(fds[1]);
}
BENCHMARK(BM_DialogueWithoutDerivation)->Unit(benchmark::kMicrosecond);

void BM_Derivation(benchmark::State& state)
{
    unsigned char salt[SALT_LEN] {};
    unsigned char key[KEY_LEN];
    for (auto _ : state)
        benchmark::DoNotOptimize(derive_key("pw", salt, key));
}
BENCHMARK(BM_Derivation)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_FullLogin(benchmark::State& state)
{
    user_file();
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0)
        std::abort();
    char sink[256];
    for (auto _ : state) {
        if (write(fds[1], "user9999\n", 9) != 9 || write(fds[1], "pw\n", 3) != 3)
            std::abort();
        if (!login_user(fds[0]))
            state.SkipWithError("login failed");
        for (int i = 0; i < 3; ++i)
            if (read(fds[1], sink, sizeof sink) <= 0)
                std::abort();
    }
    close(fds[0]);
    close(fds[1]);
}
BENCHMARK(BM_FullLogin)->Unit(benchmark::kMillisecond)->Iterations(10);

// Adding an account: writing 10,001 records to a new file, syncing it and
// renaming it into place (outside any derivation, under the registration lock).
void BM_ReplaceUserFile(benchmark::State& state)
{
    user_file();
    std::vector<UserRecord> users = load_users();
    for (auto _ : state)
        benchmark::DoNotOptimize(replace_user_file(users));
}
BENCHMARK(BM_ReplaceUserFile)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

BENCHMARK_MAIN();
