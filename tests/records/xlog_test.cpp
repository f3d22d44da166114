// The xlogfile as tournament readers and mzDELVE --scores read it.
#include "records/xlog.hpp"

#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include "support/test_support.hpp"

namespace {

XlogEntry game_of(std::string name, long long level, long long turns, long long end = 1714566896)
{
    return { .version = "1.0.0", .name = std::move(name), .account = "acct", .player_class = "Wizard", .level = level,
             .turns = turns, .gold = 12, .hp = 0, .maxhp = 40, .death = "killed by a goblin", .party = 2,
             .starttime = end - 600, .endtime = end };
}

std::vector<std::string> split(const std::string& text, char by)
{
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, by);)
        parts.push_back(part);
    return parts;
}

TEST(Xlog, HostileValuesCannotForgeFieldsLinesOrEscapes)
{
    XlogEntry e = game_of("eve\tdeath=ascended\nversion=9\x1b[2J\x07=ok", 3, 99);
    e.death = "killed by a \x9b" "31mgoblin\r";
    e.player_class = std::string(150, 'x') + std::string(150, '\xc3') ;  // torn UTF-8 too
    e.account = std::string(300, 'a');
    std::string line = format_xlog_line(e);
    ASSERT_EQ(line.back(), '\n');
    line.pop_back();
    for (unsigned char c : line)
        EXPECT_TRUE(c >= 0x20 || c == '\t') << int(c);
    std::vector<std::string> keys;
    for (const std::string& field : split(line, '\t'))
        keys.push_back(field.substr(0, field.find('=')));
    EXPECT_EQ(keys, (std::vector<std::string> { "version", "name", "account", "class", "level", "turns", "gold", "hp",
                                               "maxhp", "death", "party", "starttime", "endtime" }));
    std::optional<XlogEntry> back = parse_xlog_line(line);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->name, "evedeath=ascendedversion=9[2J=ok");
    EXPECT_EQ(back->death, "killed by a 31mgoblin");
    EXPECT_EQ(back->player_class, std::string(150, 'x'));
    EXPECT_EQ(back->account.size(), XLOG_VALUE_MAX);
    EXPECT_EQ(back->level, 3);
    EXPECT_EQ(back->turns, 99);
}

TEST(Xlog, TwoProcessesAppendingAtOnceLoseNoLine)
{
    test::TempDir dir;
    const std::string path = dir.file("xlogfile");
    constexpr int LINES = 400;
    std::vector<pid_t> writers;
    for (int w = 0; w < 2; ++w) {
        pid_t pid = fork();
        if (pid == 0) {
            bool ok = true;
            for (int i = 0; i < LINES; ++i)
                ok &= append_xlog(path, game_of("writer" + std::to_string(w), 1, i));
            _exit(ok ? 0 : 1);
        }
        writers.push_back(pid);
    }
    for (pid_t pid : writers) {
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
    }
    std::map<std::string, std::set<long long>> seen;
    std::vector<std::string> lines = split(test::read_file(path), '\n');
    EXPECT_EQ(lines.size(), 2u * LINES);
    for (const std::string& line : lines)
        if (std::optional<XlogEntry> e = parse_xlog_line(line); e && e->account == "acct")
            seen[e->name].insert(e->turns);
    EXPECT_EQ(seen["writer0"].size(), std::size_t(LINES));
    EXPECT_EQ(seen["writer1"].size(), std::size_t(LINES));
}

TEST(Xlog, ScoresListTheTenDeepestThenFewestTurns)
{
    test::TempDir dir;
    const std::string path = dir.file("xlogfile");
    auto scores = [&] {
        test::Child c({ test::program_path(), "--scores", path },
                      { .pty = false, .env = { "RL_CONFIG_DIR=" + dir.path() }, .cwd = dir.path() });
        std::string out = test::read_available(c.fd());
        EXPECT_EQ(c.wait_exit(), 0);
        return out;
    };
    EXPECT_EQ(scores(), "No games finished yet.\n");

    std::string file = "garbage without fields\nname=x\tlevel=deep\tturns=1\n" + std::string(5000, 'n') + "=long\n";
    for (auto [name, level, turns] : { std::tuple("d5slow", 5, 900), std::tuple("d7", 7, 2000), std::tuple("d5fast", 5, 300),
                                       std::tuple("d2", 2, 10), std::tuple("d9", 9, 5000), std::tuple("d1", 1, 1) })
        file += format_xlog_line(game_of(name, level, turns));
    for (int i = 0; i < 6; ++i)
        file += format_xlog_line(game_of("low" + std::to_string(i), 3, 100 + i));
    file += "name=\x1b[31mred\tlevel=4\tturns=50\n";  // written by someone else's tool
    test::write_file(path, file + "version=1.0.0\tname=torn\tlev");
    ASSERT_TRUE(append_xlog(path, game_of("after_torn", 6, 700)));
    std::vector<std::string> lines = split(test::read_file(path), '\n');
    EXPECT_EQ(lines.end()[-2], "version=1.0.0\tname=torn\tlev");

    std::string out = scores();
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    std::vector<std::string> names;
    for (const std::string& row : split(out, '\n'))
        if (std::istringstream cells(row); row.rfind(" #", 0) != 0) {
            std::string rank, name;
            cells >> rank >> name;
            names.push_back(name);
        }
    EXPECT_EQ(names, (std::vector<std::string> { "d9", "d7", "after_torn", "d5fast", "d5slow", "[31mred", "low0",
                                                 "low1", "low2", "low3" }))
        << out;
}

}  // namespace
