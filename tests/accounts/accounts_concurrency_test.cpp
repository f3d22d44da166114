#include "accounts/accounts.hpp"
#include "accounts/dialogue.hpp"
#include "support/test_support.hpp"

#include <atomic>
#include <gtest/gtest.h>
#include <set>
#include <thread>

using namespace accounts_test;

namespace {

class AccountsAtOnce : public ::testing::Test {
protected:
    test::TempDir dir;
    test::ScopedChdir cd { dir.path() };
};

std::set<std::string> stored_names()
{
    std::set<std::string> names;
    for (const UserRecord& r : load_users())
        names.insert(r.username);
    return names;
}

TEST_F(AccountsAtOnce, SimultaneousRegistrationsAllLand)
{
    constexpr int N = 4;
    std::vector<std::string> answers(N);
    std::vector<std::thread> threads;
    for (int i = 0; i < N; ++i)
        threads.emplace_back([&answers, i] {
            answers[i] = register_as("user" + std::to_string(i) + "\n", "pw" + std::to_string(i) + "\n").transcript;
        });
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < N; ++i)
        EXPECT_EQ(answers[i], std::string(REGISTER_PROMPTS) + std::string(REGISTERED)) << i;
    EXPECT_EQ(stored_names(), (std::set<std::string> { "user0", "user1", "user2", "user3" }));
    EXPECT_EQ(test::read_file(dir.file("users.dat")).size(), N * sizeof(UserRecord));
    EXPECT_TRUE(login_as("user2\n", "pw2\n").result);
}

TEST_F(AccountsAtOnce, SameNameAtOnceIsStoredOnce)
{
    constexpr int N = 3;
    std::vector<std::string> answers(N);
    std::vector<std::thread> threads;
    for (int i = 0; i < N; ++i)
        threads.emplace_back([&answers, i] {
            answers[i] = register_as("same\n", "pw" + std::to_string(i) + "\n").transcript;
        });
    for (auto& t : threads)
        t.join();
    int won = -1;
    for (int i = 0; i < N; ++i) {
        if (answers[i] == std::string(REGISTER_PROMPTS) + std::string(REGISTERED)) {
            EXPECT_EQ(won, -1) << "two registrations of one name succeeded";
            won = i;
        } else {
            EXPECT_EQ(answers[i], std::string(REGISTER_PROMPTS) + std::string(NAME_TAKEN)) << i;
        }
    }
    ASSERT_NE(won, -1);
    ASSERT_EQ(load_users().size(), 1u);
    EXPECT_TRUE(login_as("same\n", "pw" + std::to_string(won) + "\n").result);
}

TEST_F(AccountsAtOnce, ReadersDuringRegistrationsNeverSeeAPartialFile)
{
    register_as("base\n", "pw\n");
    std::atomic<bool> writing { true };
    std::thread writers([&] {
        for (int i = 0; i < 4; ++i)
            register_as("new" + std::to_string(i) + "\n", "pw\n");
        writing = false;
    });
    // What a login reads first; many reads make a short window of an
    // emptied or half-written file likely to be hit.
    long reads = 0;
    long misses = 0;
    while (writing) {
        ++reads;
        std::vector<UserRecord> users = load_users();
        if (users.empty() || std::string(users[0].username) != "base")
            ++misses;
    }
    writers.join();
    EXPECT_EQ(misses, 0) << "of " << reads << " reads";
    EXPECT_EQ(load_users().size(), 5u);
    EXPECT_TRUE(login_as("base\n", "pw\n").result);
}

}  // namespace
