// The configuration reader: hand-edited values, and where the file is looked for and created.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>

#include "config/config.hpp"
#include "support/test_support.hpp"

namespace {

const std::string WELCOME = "Welcome to the Server Roguelike! Enter username/password to begin.\n";

// Each test starts without HOME or RL_CONFIG_DIR (the binary's own environment only).
class Config : public ::testing::Test {
protected:
    void SetUp() override { unsetenv("HOME"), unsetenv("RL_CONFIG_DIR"), reset_config(); }
    void load_text(const std::string& text)
    {
        reset_config();
        test::write_file(m_tmp.file("mzdelve.cfg"), text);
        setenv("RL_CONFIG_DIR", m_tmp.path().c_str(), 1);
        load_config();
    }
    test::TempDir m_tmp;
};

TEST_F(Config, PortValues)
{
    const std::pair<std::string, int> cases[] = {
        { "PORT=8080\n", 8080 }, { "PORT = 8080\n", 8080 }, { "PORT =8080", 8080 }, { "PORT=  \t8080  \n", 8080 },
        { "PORT = 8080\r\n", 8080 }, { "PORT = 1\n", 1 }, { "PORT = 65535\n", 65535 }, { "PORT = 0\n", 1337 },
        { "PORT = 65536\n", 1337 }, { "PORT = -80\n", 1337 }, { "PORT = abc\n", 1337 }, { "PORT =   \n", 1337 },
        { "PORT = 99999999999999999999\n", 1337 }, { "PORT = 8080abc\n", 8080 }, { "PORT = 80 81\n", 80 },
        { "PORT =\n", 1337 }, { "PORT=\n", 1337 }, { "PORT X = 8080\n", 1337 }, { "MY PORT = 8080\n", 1337 },
        { " PORT = 8080\n", 1337 }, { "port = 8080\n", 1337 }, { "#PORT = 8080\n", 1337 }, { "PORT 8080\n", 1337 },
        { "\rPORT = 8080\n", 1337 }, { "= 8080\n", 1337 }, { "PORT = 1000\nPORT = 2000\n", 2000 },
        { "PORT = 1000\nPORT = 0\nPORT = junk\n", 1000 }, { "# c\n\n\r\nPORT = 3000\nOTHER = 1\n", 3000 },
        { "#" + std::string(1022, 'c') + "PORT = 4242\n", 4242 },  // tail of an overlong line is a line
    };
    for (const auto& [text, port] : cases) {
        SCOPED_TRACE(text.substr(0, 40));
        load_text(text);
        EXPECT_EQ(server_port(), port);
    }
}

TEST_F(Config, WelcomeTextTrimmedCutAt511AndEndsWithOneLineFeedUnlessFull)
{
    const std::pair<std::string, std::string> cases[] = {
        { "Hello\n", "Hello\n" }, { "  \tHi there \t\r\n", "Hi there\n" }, { "a=b = c", "a=b = c\n" },
        { std::string(600, 'w') + "\n", std::string(511, 'w') }, { std::string(511, 'x') + "\n", std::string(511, 'x') },
        { std::string(510, 'y') + "\n", std::string(510, 'y') + "\n" }, { "\n", WELCOME },
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value.substr(0, 20));
        load_text("SERVER_WELCOME_MSG =" + value);
        EXPECT_EQ(welcome_message(), expected);
    }
    load_text("# " + std::string(3000, 'c') + "\nSERVER_WELCOME_MSG = " + std::string(1500, 'z') + "\nPORT = 4000\n");
    EXPECT_EQ(server_port(), 4000);
    EXPECT_EQ(welcome_message(), std::string(511, 'z'));
}

// A value an operator mistyped must not switch a limit off or to garbage.
TEST_F(Config, OperatingKeysTakeOnlyWholeNumbersInRangeAndKeepTheirDefaultsOtherwise)
{
    load_text("BIND = 127.0.0.1\nSAVES_KEPT = 5\nSEAT_HOLD = 0\nIDLE_LIMIT = 60\nWEB_PORT = 8080\n"
              "WEB_TLS_CERT = /etc/mzdelve/cert.pem\nWEB_TLS_KEY = /etc/mzdelve/key.pem\nWATCHERS = 2\n"
              "RECORD = off\nRECORD_KEEP_MB = 10\n");
    const ServerSettings& s = server_settings();
    EXPECT_EQ(s.bind, "127.0.0.1");
    EXPECT_EQ(s.saves_kept, 5);
    EXPECT_EQ(s.seat_hold_s, 0);
    EXPECT_EQ(s.idle_limit_s, 60);
    EXPECT_EQ(s.web_port, 8080);
    EXPECT_EQ(s.web_tls_cert, "/etc/mzdelve/cert.pem");
    EXPECT_EQ(s.web_tls_key, "/etc/mzdelve/key.pem");
    EXPECT_EQ(s.watchers, 2);
    EXPECT_FALSE(s.record);
    EXPECT_EQ(s.record_keep_mb, 10);

    load_text("SAVES_KEPT = -1\nSEAT_HOLD = 5m\nIDLE_LIMIT = 99999999999\nWEB_PORT = 65536\nWATCHERS = x\n"
              "RECORD = maybe\nRECORD_KEEP_MB = 0\n");
    const ServerSettings defaults;
    EXPECT_EQ(s.bind, "");
    EXPECT_EQ(s.saves_kept, defaults.saves_kept);
    EXPECT_EQ(s.seat_hold_s, defaults.seat_hold_s);
    EXPECT_EQ(s.idle_limit_s, defaults.idle_limit_s);
    EXPECT_EQ(s.web_port, 0);
    EXPECT_EQ(s.watchers, defaults.watchers);
    EXPECT_TRUE(s.record);
    EXPECT_EQ(s.record_keep_mb, defaults.record_keep_mb);
}

TEST_F(Config, HomeGetsPrivateDirectoryAndDefaultFileOnceThenEditsAreRead)
{
    setenv("HOME", m_tmp.path().c_str(), 1);
    load_config();
    std::string dir = m_tmp.file(".mzdelve");
    struct stat st {};
    EXPECT_TRUE(stat(dir.c_str(), &st) == 0 && (st.st_mode & 07777) == 0700);
    EXPECT_EQ(test::read_file(dir + "/mzdelve.cfg"),
        "# Default mzDELVE configuration file\n# This file was automatically generated.\n"
        "# Edit the values below to customize the server.\n\nPORT = 1337\nSERVER_WELCOME_MSG = "
        + WELCOME);
    EXPECT_EQ(welcome_message(), WELCOME);
    test::write_file(dir + "/mzdelve.cfg", "PORT = 9001\n");
    load_config();
    EXPECT_EQ(server_port(), 9001);
    EXPECT_EQ(test::read_file(dir + "/mzdelve.cfg"), "PORT = 9001\n");
}

TEST_F(Config, ConfigDirectoryIsOnlyReadAndWithoutHomeTheWorkingDirectoryIs)
{
    test::TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    setenv("RL_CONFIG_DIR", m_tmp.path().c_str(), 1);
    load_config();
    EXPECT_TRUE(std::filesystem::is_empty(m_tmp.path()) && std::filesystem::is_empty(home.path()));
    unsetenv("RL_CONFIG_DIR");
    test::write_file(m_tmp.file("mzdelve.cfg"), "PORT = 5005\n");
    test::ScopedChdir cwd(m_tmp.path());
    setenv("HOME", (m_tmp.path() + "/no/such/home").c_str(), 1);
    testing::internal::CaptureStderr();
    load_config();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
        "Failed to create config directory ~/.mzdelve: No such file or directory\n");
    EXPECT_EQ(server_port(), 5005);
    reset_config();
    unsetenv("HOME");
    load_config();
    EXPECT_EQ(server_port(), 5005);
}

}  // namespace
