#include "accounts/dialogue.hpp"

#include <csignal>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace accounts_test;

namespace {

class Accounts : public ::testing::Test {
protected:
    test::TempDir dir;
    test::ScopedChdir cd { dir.path() };
    std::string users() const { return test::read_file(dir.file("users.dat")); }
    // Catches temporary files left behind.
    long entries() const { return std::distance(std::filesystem::directory_iterator(dir.path()), {}); }
};

TEST_F(Accounts, RegisterLogInDuplicatesAndRefusals)
{
    EXPECT_EQ(login("alice\n", "secret\n").transcript, REFUSED);  // no file yet
    mode_t old = umask(0);  // as a daemon may run
    EXPECT_EQ(reg("alice\n", "secret\n"), REGISTERED);
    EXPECT_EQ(reg("bob\n", "hunter2\n"), REGISTERED);
    umask(old);
    EXPECT_EQ(std::filesystem::status("users.dat").permissions(), std::filesystem::perms(0600));
    EXPECT_EQ(entries(), 1);

    Outcome in = login("alice\n", "secret\n");
    EXPECT_EQ(in.transcript, LOGGED_IN);
    EXPECT_TRUE(in.ok);
    EXPECT_TRUE(login("bob\n", "hunter2\n").ok);
    std::vector<UserRecord> all = load_users();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_NE(std::memcmp(all[0].salt, all[1].salt, SALT_LEN), 0);

    std::string before = users();
    EXPECT_EQ(reg("alice\n", "other\n"), NAME_TAKEN);
    EXPECT_EQ(users(), before);
    // A wrong password and an unknown name get the same answer.
    for (auto [name, pw] : { std::pair { "alice\n", "other\n" }, { "Alice\n", "secret\n" } }) {
        SCOPED_TRACE(name);
        Outcome out = login(name, pw);
        EXPECT_EQ(out.transcript, REFUSED);
        EXPECT_FALSE(out.ok);
    }
}

TEST_F(Accounts, OnlyTheLineFeedIsRemovedAndAnOverlongNameSpills)
{
    reg("carol\r\n", "pw\r\n");
    EXPECT_STREQ(load_users().at(0).username, "carol\r");
    EXPECT_TRUE(login("carol\r\n", "pw\r\n").ok);
    EXPECT_FALSE(login("carol\n", "pw\r\n").ok);
    EXPECT_FALSE(login("carol\r\n", "pw\n").ok);

    // An overlong name keeps 63 bytes; the rest of its line is not the password.
    std::string line(70, 'n');
    EXPECT_EQ(converse(false, { line + "\n", "pw\n" }).transcript, REGISTERED);
    EXPECT_EQ(load_users().at(1).username, std::string(63, 'n'));
    EXPECT_TRUE(login(line + "\n", "pw\n").ok);
}

TEST_F(Accounts, StoredRecordMatchesAnIndependentDerivationAndSurvivesAPartialTail)
{
    reg(std::string("dave\0junk\n", 10), "correct horse\n");  // a NUL ends the name, as for any C reader
    std::string file = users();
    ASSERT_EQ(file.size(), 112u);
    EXPECT_EQ(file.substr(0, 64), "dave" + std::string(60, '\0'));
    unsigned char key[KEY_LEN];
    ASSERT_EQ(PKCS5_PBKDF2_HMAC("correct horse", 13, reinterpret_cast<const unsigned char*>(file.data() + 64),
                                SALT_LEN, 100000, EVP_sha256(), KEY_LEN, key),
              1);
    EXPECT_EQ(file.substr(80), std::string(reinterpret_cast<const char*>(key), KEY_LEN));

    // A trailing partial record is dropped; the whole ones are kept.
    test::write_file(dir.file("users.dat"), file + "abcdef");
    EXPECT_EQ(reg("erin\n", "pw\n"), REGISTERED);
    ASSERT_EQ(users().size(), 224u);
    EXPECT_EQ(users().substr(0, 112), file);
    EXPECT_EQ(users().substr(112, 64), "erin" + std::string(60, '\0'));
}

TEST_F(Accounts, AccountThatCannotBeStoredKeepsTheOldFileAndSaysSo)
{
    reg("alice\n", "secret\n");
    std::string before = users();
    // The size limit cuts the new file off after 150 of its 224 bytes, as a full disk would.
    rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small { 150, old.rlim_max };
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    std::string answer = reg("bob\n", "secret\n");
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_EQ(answer, SAVE_FAILED);
    EXPECT_EQ(users(), before);
    EXPECT_EQ(entries(), 1);

    // A users.dat that cannot be read is never replaced by a file of only the new account.
    std::filesystem::remove("users.dat");
    ASSERT_EQ(mkdir("users.dat", 0700), 0);
    EXPECT_EQ(reg("alice\n", "secret\n"), SAVE_FAILED);
    EXPECT_TRUE(std::filesystem::is_directory("users.dat"));
}

// The program on a pseudo-terminal: the dialogues read from descriptor 1.
TEST_F(Accounts, CommandLineRegistersAndLogsIn)
{
    test::TempDir config;
    test::Child::Options o;
    o.cwd = dir.path();
    o.env = { "RL_CONFIG_DIR=" + config.path(), "HOME=" + config.path() };
    std::string seen;
    auto expect = [&seen](const test::Child& c, std::string_view text, std::string_view reply = {}) {
        std::size_t at;
        while ((at = seen.find(text)) == std::string::npos) {
            std::string more = test::read_until(c.fd(), text, 10000);
            ASSERT_FALSE(more.empty()) << "waited for \"" << text << "\", got: " << seen;
            seen += more;
        }
        seen.erase(0, at + text.size());
        c.send(reply);
    };
    {
        test::Child r({ test::program_path(), "-r" }, o);
        expect(r, "Choose a username: ", "zoe\n");
        expect(r, "Choose a password: ", "pw 1\n");
        expect(r, "Registration successful.");
        EXPECT_EQ(r.wait_exit(10000), 0);
    }
    EXPECT_STREQ(load_users().at(0).username, "zoe");
    test::Child l({ test::program_path(), "-l" }, o);
    expect(l, "Username: ", "zoe\n");
    expect(l, "Password: ", "pw 1\n");
    expect(l, "Login successful.");
    expect(l, "Enter choice: ", "5\n");
    EXPECT_EQ(l.wait_exit(10000), 0);
}

}  // namespace
