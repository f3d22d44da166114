// The configuration reader: values as a hand-edited file presents them, and
// where the file is looked for and created.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>

#include "app/config.hpp"
#include "support/test_support.hpp"

namespace {

const std::string DEFAULT_WELCOME = "Welcome to the Server Roguelike! Enter username/password to begin.\n";
const std::string DEFAULT_FILE = "# Default mzDELVE configuration file\n"
                                 "# This file was automatically generated.\n"
                                 "# Edit the values below to customize the server.\n\n"
                                 "PORT = 1337\n"
                                 "SERVER_WELCOME_MSG = Welcome to the Server Roguelike! Enter username/password to begin.\n";

// Keeps the real environment out of every test and puts it back afterwards.
class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        save("HOME", m_home);
        save("RL_CONFIG_DIR", m_dir);
        unsetenv("HOME");
        unsetenv("RL_CONFIG_DIR");
        reset_config();
    }
    void TearDown() override
    {
        restore("HOME", m_home);
        restore("RL_CONFIG_DIR", m_dir);
        reset_config();
    }

    // Reads text as the configuration file through RL_CONFIG_DIR.
    void load_text(const std::string& text)
    {
        test::write_file(m_tmp.file("mzdelve.cfg"), text);
        setenv("RL_CONFIG_DIR", m_tmp.path().c_str(), 1);
        load_config();
    }

    int port_after(const std::string& text)
    {
        reset_config();
        load_text(text);
        return server_port();
    }

    test::TempDir m_tmp;

private:
    static void save(const char* name, std::pair<bool, std::string>& slot)
    {
        const char* v = std::getenv(name);
        slot = { v != nullptr, v ? v : "" };
    }
    static void restore(const char* name, const std::pair<bool, std::string>& slot)
    {
        if (slot.first)
            setenv(name, slot.second.c_str(), 1);
        else
            unsetenv(name);
    }
    std::pair<bool, std::string> m_home, m_dir;
};

int mode_of(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

bool dir_is_empty(const std::string& path) { return std::filesystem::is_empty(path); }

TEST_F(ConfigTest, PortIsReadWithOrWithoutBlanksAroundTheEqualsSign)
{
    EXPECT_EQ(port_after("PORT=8080\n"), 8080);
    EXPECT_EQ(port_after("PORT = 8080\n"), 8080);
    EXPECT_EQ(port_after("PORT =8080"), 8080);  // last line without a line feed
    EXPECT_EQ(port_after("PORT=   \t8080   \n"), 8080);
    EXPECT_EQ(port_after("PORT = 8080\r\n"), 8080);
}

TEST_F(ConfigTest, PortOutsideOneTo65535OrWithoutDigitsLeavesTheDefault)
{
    for (const char* value : { "0", "65536", "-80", "abc", "99999999999999999999", "  " }) {
        SCOPED_TRACE(value);
        EXPECT_EQ(port_after(std::string("PORT = ") + value + "\n"), 1337);
    }
    EXPECT_EQ(port_after("PORT = 1\n"), 1);
    EXPECT_EQ(port_after("PORT = 65535\n"), 65535);
}

TEST_F(ConfigTest, PortTakesLeadingDigitsOfAPartialNumber)
{
    EXPECT_EQ(port_after("PORT = 8080abc\n"), 8080);
    EXPECT_EQ(port_after("PORT = 80 81\n"), 80);
}

TEST_F(ConfigTest, LinesThatAreNotSettingsAreIgnored)
{
    EXPECT_EQ(port_after("PORT =\n"), 1337);            // empty value
    EXPECT_EQ(port_after("PORT=\n"), 1337);
    EXPECT_EQ(port_after("PORT X = 8080\n"), 1337);     // blank inside the key
    EXPECT_EQ(port_after("MY PORT = 8080\n"), 1337);
    EXPECT_EQ(port_after(" PORT = 8080\n"), 1337);      // key starting with a blank
    EXPECT_EQ(port_after("port = 8080\n"), 1337);       // keys are case-sensitive
    EXPECT_EQ(port_after("#PORT = 8080\n"), 1337);
    EXPECT_EQ(port_after("\rPORT = 8080\n"), 1337);
    EXPECT_EQ(port_after("PORT 8080\n"), 1337);         // no equals sign
    EXPECT_EQ(port_after("= 8080\n"), 1337);            // no key
}

TEST_F(ConfigTest, LaterLineOverridesAndBadLaterLineKeepsEarlierValue)
{
    EXPECT_EQ(port_after("PORT = 1000\nPORT = 2000\n"), 2000);
    EXPECT_EQ(port_after("PORT = 1000\nPORT = 0\nPORT = junk\n"), 1000);
    EXPECT_EQ(port_after("# comment\n\n\r\nPORT = 3000\nOTHER = 1\n"), 3000);
}

TEST_F(ConfigTest, WelcomeTextIsTrimmedAndEndsWithOneLineFeed)
{
    load_text("SERVER_WELCOME_MSG = Hello\n");
    EXPECT_EQ(std::string(welcome_message()), "Hello\n");
    load_text("SERVER_WELCOME_MSG=  \tHi there \t\r\n");
    EXPECT_EQ(std::string(welcome_message()), "Hi there\n");
    load_text("SERVER_WELCOME_MSG = a=b = c");
    EXPECT_EQ(std::string(welcome_message()), "a=b = c\n");
    reset_config();
    load_text("SERVER_WELCOME_MSG =\n");  // an empty value is no value
    EXPECT_EQ(std::string(welcome_message()), DEFAULT_WELCOME);
}

TEST_F(ConfigTest, WelcomeTextIsCutAt511AndGetsNoLineFeedWhenFull)
{
    load_text("SERVER_WELCOME_MSG = " + std::string(600, 'w') + "\n");
    EXPECT_EQ(std::string(welcome_message()), std::string(511, 'w'));
    load_text("SERVER_WELCOME_MSG = " + std::string(511, 'x') + "\n");
    EXPECT_EQ(std::string(welcome_message()), std::string(511, 'x'));
    load_text("SERVER_WELCOME_MSG = " + std::string(510, 'y') + "\n");
    EXPECT_EQ(std::string(welcome_message()), std::string(510, 'y') + "\n");
}

TEST_F(ConfigTest, LinesLongerThanTheBufferDoNotHideTheNextLine)
{
    load_text("# " + std::string(3000, 'c') + "\nSERVER_WELCOME_MSG = " + std::string(1500, 'z')
        + "\nPORT = 4000\n");
    EXPECT_EQ(server_port(), 4000);
    EXPECT_EQ(std::string(welcome_message()), std::string(511, 'z'));
}

TEST_F(ConfigTest, TailOfAnOverlongLineIsReadAsALineOfItsOwn)
{
    // The reader works in 1023-character pieces; the second piece starts
    // right after the first 1023 characters.
    EXPECT_EQ(port_after("#" + std::string(1022, 'c') + "PORT = 4242\n"), 4242);
}

TEST_F(ConfigTest, FirstRunUnderHomeCreatesPrivateDirectoryAndDefaultFile)
{
    setenv("HOME", m_tmp.path().c_str(), 1);
    load_config();
    std::string dir = m_tmp.file(".mzdelve");
    EXPECT_EQ(mode_of(dir), 0700);
    EXPECT_EQ(test::read_file(dir + "/mzdelve.cfg"), DEFAULT_FILE);
    EXPECT_EQ(server_port(), 1337);
    EXPECT_EQ(std::string(welcome_message()), DEFAULT_WELCOME);

    // An edited file is read back and not replaced.
    test::write_file(dir + "/mzdelve.cfg", "PORT = 9001\n");
    load_config();
    EXPECT_EQ(server_port(), 9001);
    EXPECT_EQ(test::read_file(dir + "/mzdelve.cfg"), "PORT = 9001\n");
}

TEST_F(ConfigTest, ConfigDirectoryIsOnlyReadAndWinsOverHome)
{
    test::TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    setenv("RL_CONFIG_DIR", m_tmp.path().c_str(), 1);
    load_config();
    EXPECT_EQ(server_port(), 1337);
    EXPECT_TRUE(dir_is_empty(m_tmp.path()));
    EXPECT_TRUE(dir_is_empty(home.path()));

    test::write_file(m_tmp.file("mzdelve.cfg"), "PORT = 7007\n");
    load_config();
    EXPECT_EQ(server_port(), 7007);
}

TEST_F(ConfigTest, WithoutHomeOrConfigDirectoryTheWorkingDirectoryIsRead)
{
    test::ScopedChdir cwd(m_tmp.path());
    load_config();
    EXPECT_EQ(server_port(), 1337);
    EXPECT_TRUE(dir_is_empty(m_tmp.path()));
    test::write_file(m_tmp.file("mzdelve.cfg"), "PORT = 6006\n");
    load_config();
    EXPECT_EQ(server_port(), 6006);
}

TEST_F(ConfigTest, UncreatableHomeDirectoryIsReportedAndWorkingDirectoryRead)
{
    test::write_file(m_tmp.file("mzdelve.cfg"), "PORT = 5005\n");
    test::ScopedChdir cwd(m_tmp.path());
    setenv("HOME", (m_tmp.path() + "/no/such/home").c_str(), 1);
    testing::internal::CaptureStderr();
    load_config();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Failed to create config directory ~/.mzdelve: No such file or directory\n");
    EXPECT_EQ(server_port(), 5005);
}

TEST_F(ConfigTest, HomeConfigPathThatIsAFileOrTooLongLeavesDefaults)
{
    test::write_file(m_tmp.file(".mzdelve"), "not a directory");
    setenv("HOME", m_tmp.path().c_str(), 1);
    load_config();
    EXPECT_EQ(server_port(), 1337);
    EXPECT_EQ(test::read_file(m_tmp.file(".mzdelve")), "not a directory");

    // A home path beyond the path limit is cut, not overrun.
    std::string long_home = m_tmp.path() + "/" + std::string(2000, 'h');
    setenv("HOME", long_home.c_str(), 1);
    test::ScopedChdir cwd(m_tmp.path());
    testing::internal::CaptureStderr();
    load_config();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(server_port(), 1337);
}

}  // namespace
