#include "accounts/dialogue.hpp"

#include <algorithm>
#include <gtest/gtest.h>
#include <set>

using namespace accounts_test;

// Four new names and two repeats at once: every new name lands, each exactly once.
TEST(AccountsAtOnce, SimultaneousRegistrationsAllLandOnce)
{
    test::TempDir dir;
    test::ScopedChdir cd(dir.path());
    std::vector<std::string> answers(6);
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&answers, i] { answers[i] = reg("user" + std::to_string(i % 4) + "\n", "pw\n"); });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(std::count(answers.begin(), answers.end(), REGISTERED), 4);
    EXPECT_EQ(std::count(answers.begin(), answers.end(), NAME_TAKEN), 2);
    std::set<std::string> names;
    for (const UserRecord& r : load_users())
        names.insert(r.username);
    EXPECT_EQ(names, (std::set<std::string> { "user0", "user1", "user2", "user3" }));
    EXPECT_EQ(test::read_file(dir.file("users.dat")).size(), 4 * sizeof(UserRecord));
    EXPECT_TRUE(login("user2\n", "pw\n").ok);
}
