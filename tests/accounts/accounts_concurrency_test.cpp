#include "accounts/dialogue.hpp"
#include "accounts/user_file.hpp"

#include <algorithm>
#include <cstdio>
#include <gtest/gtest.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

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

// Registrations were serialised inside one process only, so `mzDELVE -r` run
// beside the server could drop one of the two new records. The children add
// records directly: without the key derivation between them the two
// processes' read-check-replace steps overlap on nearly every try.
TEST(AccountsAtOnce, TwoProcessesRegisteringAtOnceLostRecords)
{
    test::TempDir dir;
    test::ScopedChdir cd(dir.path());
    pid_t children[2];
    for (int p = 0; p < 2; ++p) {
        if ((children[p] = fork()) == 0) {
            int failed = 0;
            for (int i = 0; i < 50; ++i) {
                UserRecord record {};
                std::snprintf(record.username, USERNAME_LEN, "p%dn%d", p, i);
                failed += add_user(record) != AddUser::Added;
            }
            _exit(failed);
        }
        ASSERT_GT(children[p], 0);
    }
    for (pid_t child : children) {
        int status = -1;
        waitpid(child, &status, 0);
        EXPECT_EQ(status, 0) << "registrations refused";
    }
    EXPECT_EQ(load_users().size(), 100u);
}
