// The server's event log on standard error: who came, logged in, joined and
// left, in order, with no password and no chat text; and a log reader that
// stops reading slows nobody down.
#include <regex>
#include <sstream>

#include "server/server_harness.hpp"

using srv::Client;

namespace {
// The log's lines with time stamps, peer ports and save names checked and
// taken out; the connect lines, one per connection, and the closes of
// connections that said nothing (the harness's probes) only counted.
std::vector<std::string> events(const std::string& log, int& connects, int& silent)
{
    const std::regex stamp("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ "), peer("127\\.0\\.0\\.1:\\d+"),
        save("saves/save_\\d{8}_\\d{6}\\.sav");
    std::vector<std::string> out;
    std::istringstream in(log);
    connects = silent = 0;
    for (std::string line; std::getline(in, line);) {
        EXPECT_TRUE(std::regex_search(line, stamp)) << line;
        line = std::regex_replace(std::regex_replace(std::regex_replace(line, stamp, ""), peer, "PEER"), save, "SAVE");
        if (line == "connect PEER")
            ++connects;
        else if (line == "close PEER before joining: closed")
            ++silent;
        else if (line.starts_with("record "))
            continue;  // the recorder's own lines come from its threads, in no fixed place
        else
            out.push_back(line);
    }
    return out;
}
}  // namespace

TEST(ServerEventLog, SaysWhoCameAndWentButNeverWhatTheyTyped)
{
    srv::Server server;
    Client first(server.port());
    srv::talk(first, { { "Select: ", "r\n" }, { "Choose a username: ", "logann\n" }, { "Choose a password: ", "pw-secret-1\n" },
                       { "Username: ", "logann\n" }, { "Password: ", "wrongpass-2\n" } }, false);
    EXPECT_TRUE(first.wait_closed());
    Client c(server.port());
    srv::talk(c, { { "Select: ", "l\n" }, { "Username: ", "logann\n" }, { "Password: ", "pw-secret-1\n" },
                   { std::string(srv::NAME_PROMPT), "Ann\x1b[2J\n" }, { "undead.\r\n", "1\n" } }, false);
    c.frame(), c.frame();
    c.send("/");
    srv::talk(c, { { "Enter message: ", "chat-secret-3\n" } });
    c.frame();
    for (const char* key : { "S", "L" }) {
        c.send(key);
        c.frame_with(*key == 'S' ? "Game saved" : "Game loaded");
    }
    c.send("q");
    c.frame();
    c.send("q");
    EXPECT_TRUE(c.wait_closed());
    std::string log;
    EXPECT_EQ(server.stop(log), 0);
    for (const char* secret : { "pw-secret-1", "wrongpass-2", "chat-secret-3", "\x1b" })
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    int connects = 0, silent = 0;
    std::vector<std::string> got = events(log, connects, silent);
    std::vector<std::string> want = { "start port " + std::to_string(server.port()), "register PEER \"logann\" ok",
                                      "login PEER \"logann\" failed: wrong password",
                                      "close PEER before joining: login failed", "login PEER \"logann\" ok",
                                      "join PEER slot 0 \"Ann[2J\" account \"logann\"",
                                      "save \"SAVE\" by \"Ann[2J\" ok", "load \"SAVE\" by \"Ann[2J\" ok",
                                      "leave PEER slot 0 \"Ann[2J\" account \"logann\" quit", "stop signal SIGTERM, world saved (0 seats)" };
    EXPECT_EQ(got, want) << log;
    EXPECT_GE(silent, 1);  // the harness's readiness probe connects too
    EXPECT_EQ(connects, silent + 2);
}

TEST(ServerEventLog, AStalledLogReaderSlowsNobody)
{
    srv::Server server;  // nobody reads its standard error until the end
    Client ann(server.port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1'));
    // A line per connection until the pipe is full, then more than the log
    // keeps waiting; the last connection's answer shows all were taken.
    for (int i = 0; i < 20000 && server.unread_output() < 60000; ++i)
        Client(server.port());
    for (int i = 0; i < 1500; ++i)
        Client(server.port());
    Client last(server.port());
    ASSERT_FALSE(last.read_until("\n", 30000).empty());
    for (int i = 0; i < 20; ++i) {
        ann.send(i % 2 ? "c" : "a");
        ASSERT_FALSE(ann.frame_with(i % 2 ? "You know no spells." : "Only Necromancers").empty()) << i;
    }
    EXPECT_NE(server.output().find("log lines dropped"), std::string::npos);
}
