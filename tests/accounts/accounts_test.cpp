#include "accounts/accounts.hpp"
#include "accounts/dialogue.hpp"
#include "support/test_support.hpp"

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace accounts_test;

namespace {

class Accounts : public ::testing::Test {
protected:
    test::TempDir dir;
    test::ScopedChdir cd { dir.path() };

    std::string users() const { return test::read_file(dir.file("users.dat")); }

    // Names in the directory, to catch temporary files left behind.
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        if (DIR* d = opendir(dir.path().c_str())) {
            while (const dirent* e = readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    names.emplace_back(e->d_name);
            closedir(d);
        }
        return names;
    }
};

std::string name_field(std::string_view name)
{
    std::string field(name);
    field.resize(USERNAME_LEN, '\0');
    return field;
}

// --- The dialogues over a socket -------------------------------------------

TEST_F(Accounts, RegisteredAccountLogsInAndNewAccountsGoLast)
{
    Outcome reg = register_as("alice\n", "secret\n");
    EXPECT_EQ(reg.transcript, std::string(REGISTER_PROMPTS) + std::string(REGISTERED));
    Outcome login = login_as("alice\n", "secret\n");
    EXPECT_EQ(login.transcript, std::string(LOGIN_PROMPTS) + std::string(LOGGED_IN));
    EXPECT_TRUE(login.result);

    EXPECT_EQ(register_as("bob\n", "hunter2\n").transcript,
              std::string(REGISTER_PROMPTS) + std::string(REGISTERED));
    std::vector<UserRecord> all = load_users();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_STREQ(all[0].username, "alice");
    EXPECT_STREQ(all[1].username, "bob");
    EXPECT_NE(std::memcmp(all[0].salt, all[1].salt, SALT_LEN), 0);
    EXPECT_TRUE(login_as("bob\n", "hunter2\n").result);
}

TEST_F(Accounts, DuplicateNameLeavesTheFileByteIdentical)
{
    register_as("alice\n", "secret\n");
    std::string before = users();
    Outcome again = register_as("alice\n", "other\n");
    EXPECT_EQ(again.transcript, std::string(REGISTER_PROMPTS) + std::string(NAME_TAKEN));
    EXPECT_EQ(users(), before);
    EXPECT_FALSE(login_as("alice\n", "other\n").result);
    EXPECT_TRUE(login_as("alice\n", "secret\n").result);
}

TEST_F(Accounts, WrongPasswordAndUnknownNameGetTheSameAnswer)
{
    const std::string refused = std::string(LOGIN_PROMPTS) + std::string(BAD_CREDENTIALS);
    Outcome no_file = login_as("alice\n", "secret\n");
    EXPECT_EQ(no_file.transcript, refused);
    EXPECT_FALSE(no_file.result);

    test::write_file(dir.file("users.dat"), "");
    EXPECT_EQ(login_as("alice\n", "secret\n").transcript, refused);

    register_as("alice\n", "secret\n");
    Outcome wrong = login_as("alice\n", "Secret\n");
    Outcome unknown = login_as("Alice\n", "secret\n");
    EXPECT_EQ(wrong.transcript, refused);
    EXPECT_EQ(unknown.transcript, refused);
    EXPECT_FALSE(wrong.result);
    EXPECT_FALSE(unknown.result);
}

TEST_F(Accounts, CarriageReturnStaysPartOfNameAndPassword)
{
    register_as("carol\r\n", "pw\r\n");
    std::vector<UserRecord> all = load_users();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(std::string(all[0].username, USERNAME_LEN), name_field("carol\r"));

    EXPECT_TRUE(login_as("carol\r\n", "pw\r\n").result);
    EXPECT_FALSE(login_as("carol\n", "pw\r\n").result);
    EXPECT_FALSE(login_as("carol\r\n", "pw\n").result);
}

TEST_F(Accounts, OverlongNameSpillsIntoThePassword)
{
    // Sent in one write: one read takes 63 bytes, the rest is the password.
    std::string line(70, 'n');
    Outcome reg = converse(
        [](int fd) {
            register_user(fd);
            return false;
        },
        { line + "\n" });
    EXPECT_EQ(reg.transcript, std::string(REGISTER_PROMPTS) + std::string(REGISTERED));
    std::vector<UserRecord> all = load_users();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(std::string(all[0].username, USERNAME_LEN), name_field(std::string(63, 'n')));
    // The same line at the login prompt spills the same way.
    EXPECT_TRUE(converse(login_user, { line + "\n" }).result);
    EXPECT_FALSE(converse(login_user, { line + "n\n" }).result);
    // Even a line feed right after 63 bytes is left over: it is an empty password.
    EXPECT_FALSE(login_as(std::string(63, 'n') + "\n", "nnnnnnn\n").result);
}

TEST_F(Accounts, EmptyNameAndPasswordMakeAnAccount)
{
    EXPECT_EQ(register_as("\n", "\n").transcript, std::string(REGISTER_PROMPTS) + std::string(REGISTERED));
    ASSERT_EQ(users().size(), 112u);
    EXPECT_EQ(users().substr(0, 64), name_field(""));
    EXPECT_TRUE(login_as("\n", "\n").result);
    EXPECT_FALSE(login_as("\n", "x\n").result);
    EXPECT_EQ(register_as("\n", "\n").transcript, std::string(REGISTER_PROMPTS) + std::string(NAME_TAKEN));
}

TEST_F(Accounts, PeerClosingMidDialogueEndsSilentlyAndStoresNothing)
{
    auto reg = [](int fd) {
        register_user(fd);
        return false;
    };
    EXPECT_EQ(converse(reg, {}).transcript, "Choose a username: ");
    EXPECT_EQ(converse(reg, { "alice\n" }).transcript, REGISTER_PROMPTS);
    EXPECT_FALSE(test::file_exists(dir.file("users.dat")));

    register_as("alice\n", "secret\n");
    Outcome login = converse(login_user, { "alice\n" });
    EXPECT_EQ(login.transcript, LOGIN_PROMPTS);
    EXPECT_FALSE(login.result);
    EXPECT_FALSE(converse(login_user, {}).result);
}

// --- The file, as other programs write and read it -------------------------

TEST_F(Accounts, StoredRecordMatchesAnIndependentDerivation)
{
    // A NUL typed into the name ends it, as it would for any C reader of the file.
    register_as(std::string("dave\0junk\n", 10), "correct horse\n");
    std::string file = users();
    ASSERT_EQ(file.size(), 112u);
    EXPECT_EQ(file.substr(0, 64), name_field("dave"));
    unsigned char key[KEY_LEN];
    ASSERT_EQ(PKCS5_PBKDF2_HMAC("correct horse", 13, reinterpret_cast<const unsigned char*>(file.data() + 64),
                                SALT_LEN, 100000, EVP_sha256(), KEY_LEN, key),
              1);
    EXPECT_EQ(file.substr(80, 32), std::string(reinterpret_cast<const char*>(key), KEY_LEN));
}

TEST_F(Accounts, FileWrittenElsewhereIsReadAndItsPartialTailDropped)
{
    UserRecord unterminated {};
    std::memset(unterminated.username, 'A', USERNAME_LEN);
    UserRecord erin = independent_record("erin", "pw", 7);
    std::string whole = bytes_of(unterminated) + bytes_of(erin);
    test::write_file(dir.file("users.dat"), whole + "abcdef");  // 230 bytes
    ASSERT_EQ(load_users().size(), 2u);

    EXPECT_TRUE(login_as("erin\n", "pw\n").result);
    EXPECT_FALSE(login_as(std::string(63, 'A') + "\n", "\n").result);

    EXPECT_EQ(register_as("frank\n", "pw\n").transcript, std::string(REGISTER_PROMPTS) + std::string(REGISTERED));
    std::string after = users();
    ASSERT_EQ(after.size(), 336u);
    EXPECT_EQ(after.substr(0, 224), whole);
    EXPECT_EQ(after.substr(224, 64), name_field("frank"));
    EXPECT_TRUE(login_as("frank\n", "pw\n").result);
}

TEST_F(Accounts, UsersFileIsPrivateWhateverTheUmask)
{
    mode_t old = umask(0);  // a daemon runs with umask 0
    register_as("alice\n", "secret\n");
    struct stat st {};
    ASSERT_EQ(stat("users.dat", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    chmod("users.dat", 0644);  // as another program may have left it
    register_as("bob\n", "secret\n");
    ASSERT_EQ(stat("users.dat", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    umask(old);
    EXPECT_EQ(entries(), std::vector<std::string> { "users.dat" });
}

// --- Accounts that cannot be stored ----------------------------------------

TEST_F(Accounts, WriteCutShortKeepsTheOldFileAndSaysSo)
{
    register_as("alice\n", "secret\n");
    std::string before = users();
    // The file size limit cuts the new file off after 150 of its 224 bytes,
    // as a full disk or a crash would.
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 150;
    auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    Outcome reg = register_as("bob\n", "secret\n");
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, old_handler);

    EXPECT_EQ(reg.transcript, std::string(REGISTER_PROMPTS) + std::string(SAVE_FAILED));
    EXPECT_EQ(users(), before);
    EXPECT_EQ(entries(), std::vector<std::string> { "users.dat" });
    EXPECT_TRUE(login_as("alice\n", "secret\n").result);
}

TEST_F(Accounts, UnwritableDirectoryGivesTheFailureAnswer)
{
    register_as("alice\n", "secret\n");
    ASSERT_EQ(chmod("users.dat", 0644), 0);
    std::string before = users();
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    test::SocketPair pair;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Root writes anywhere: the dialogue runs as an unprivileged user.
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        register_user(pair.ours);
        _exit(0);
    }
    close(pair.ours);
    pair.ours = -1;
    std::string transcript = test::read_until(pair.peer, ": ");
    test::write_text(pair.peer, "bob\n");
    transcript += test::read_until(pair.peer, ": ");
    test::write_text(pair.peer, "secret\n");
    transcript += test::read_until(pair.peer, "\n", 10000);
    int status = 0;
    waitpid(child, &status, 0);
    chmod(dir.path().c_str(), 0700);

    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(transcript, std::string(REGISTER_PROMPTS) + std::string(SAVE_FAILED));
    EXPECT_EQ(users(), before);
}

TEST_F(Accounts, UnreadableUsersFileIsNeverReplaced)
{
    // A users.dat that cannot be read would otherwise be replaced by a file
    // holding only the new account, losing every old one.
    ASSERT_EQ(mkdir("users.dat", 0700), 0);
    EXPECT_EQ(register_as("alice\n", "secret\n").transcript,
              std::string(REGISTER_PROMPTS) + std::string(SAVE_FAILED));
    struct stat st {};
    ASSERT_EQ(stat("users.dat", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(load_users().empty());
    EXPECT_EQ(login_as("alice\n", "secret\n").transcript, std::string(LOGIN_PROMPTS) + std::string(BAD_CREDENTIALS));
}

}  // namespace
