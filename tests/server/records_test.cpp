// What a game leaves behind: the player's recording, compressed once the
// seat ends and replaying to the screen the player last saw, and one score
// line for each way a game ends.
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <zlib.h>

#include "records/ttyrec.hpp"
#include "records/xlog.hpp"
#include "save/save.hpp"
#include "server/server_harness.hpp"
#include "world/dungeon.hpp"

using srv::Client;
using srv::Screen;
namespace fs = std::filesystem;

namespace {
std::vector<fs::path> files_under(const std::string& dir)
{
    std::vector<fs::path> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file())
            out.push_back(it->path());
    return out;
}

std::string gunzip(const fs::path& path)
{
    std::string out;
    gzFile f = gzopen(path.c_str(), "rb");
    if (!f)
        return out;
    char buf[65536];
    for (int n; (n = gzread(f, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    gzclose(f);
    return out;
}

std::vector<std::string> lines_of(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// One line with every field, in order, and the values the game ended with.
void expect_score(const std::string& line, const std::string& name, const std::string& death)
{
    const char* keys[] = { "version", "name", "account", "class", "level", "turns", "gold",
                           "hp", "maxhp", "death", "party", "starttime", "endtime" };
    std::stringstream fields(line);
    std::string field;
    for (const char* key : keys) {
        ASSERT_TRUE(std::getline(fields, field, '\t')) << line;
        EXPECT_EQ(field.substr(0, field.find('=')), key) << line;
    }
    std::optional<XlogEntry> e = parse_xlog_line(line);
    ASSERT_TRUE(e) << line;
    EXPECT_EQ(e->name, name);
    EXPECT_EQ(e->death, death);
    EXPECT_GE(e->level, 1);
    EXPECT_LE(e->starttime, e->endtime);
    EXPECT_GT(e->starttime, 1600000000);
}

// Quits: 'q' ends the character, the second 'q' the dead player's wait.
std::string quit(Client& c)
{
    c.send("q");
    std::string seen = c.frame();
    c.send("q");
    return seen + c.read_until(srv::GOODBYE);
}
}  // namespace

TEST(ServerRecords, ALeftGameIsCompressedAndReplaysToThePlayersLastScreen)
{
    srv::Server server;
    Client ann(server.port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1'));
    std::string seen;
    // Slower than the recorder's batching, so that each key's frame is written.
    for (const char* key : { "5", "6", "4" }) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        ann.send(key);
        seen += ann.frame();
    }
    seen += quit(ann);
    ASSERT_TRUE(ann.wait_closed());

    std::string dir = server.file("recordings/user_ann");
    ASSERT_TRUE(srv::wait_for([&] {
        auto f = files_under(dir);
        return f.size() == 1 && f[0].extension() == ".gz";
    })) << files_under(dir).size();
    std::string recording = gunzip(files_under(dir)[0]);
    TtyrecParse parsed = parse_ttyrec(recording);
    ASSERT_EQ(parsed.whole_bytes, recording.size());
    ASSERT_GE(parsed.frames.size(), 4u);
    std::string replay;
    std::string_view last_recorded;
    for (std::size_t i = 0; i < parsed.frames.size(); ++i) {
        if (i > 0) {
            EXPECT_LE(parsed.frames[i - 1].time, parsed.frames[i].time) << i;
        }
        replay += parsed.frames[i].bytes;
        if (parsed.frames[i].bytes.ends_with(srv::FRAME_END))
            last_recorded = parsed.frames[i].bytes;
    }
    EXPECT_TRUE(replay.ends_with(srv::GOODBYE));
    EXPECT_EQ(Screen(replay).m_rows, Screen(seen).m_rows);
    EXPECT_TRUE(seen.ends_with(std::string(last_recorded) + std::string(srv::GOODBYE)));

    std::vector<std::string> scores = lines_of(server.file("xlogfile"));
    ASSERT_EQ(scores.size(), 1u);
    expect_score(scores[0], "Ann", "quit");
}

TEST(ServerRecords, RecordOffWritesNoRecordingButStillTheScore)
{
    srv::Server server({}, { "-s" }, srv::free_port(), test::program_path(), "RECORD = off\n");
    Client ann(server.port());
    ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '2'));
    quit(ann);
    ASSERT_TRUE(ann.wait_closed());
    ASSERT_TRUE(srv::wait_for([&] { return lines_of(server.file("xlogfile")).size() == 1; }));
    EXPECT_FALSE(fs::exists(server.file("recordings")));
}

TEST(ServerRecords, ADeathAndAHoldThatRanOutEachWriteOneScore)
{
    auto server = srv::Server::tuned({ "--seat-hold-ms", "300" });
    Client ann(server->port());
    {
        Client bob(server->port());
        ASSERT_TRUE(srv::join(ann, "user_ann", "Ann", '1') && srv::join(bob, "user_bob", "Bob", '3'));
    }
    ASSERT_FALSE(ann.frame_with("Bob\x1b[30C has left the dungeon.").empty());

    auto g = std::make_unique<Game>();
    std::srand(7);
    generate_level(*g);
    g->player.hp = 1;
    g->monster_count = 2;
    for (int i = 0; i < 2; ++i) {
        Monster& m = g->monsters[i];
        m = Monster {};
        m.x = g->player.x + (i ? 1 : -1), m.y = g->player.y, m.glyph = 'T';
        m.hp = m.max_hp = 500, m.attack = 40, m.alive = 1;
    }
    mkdir(server->file("saves").c_str(), 0755);
    ASSERT_EQ(write_save_file(server->file("saves/death.sav").c_str(), *g, g->player), 0);
    ann.send("L");
    ASSERT_FALSE(ann.frame_with("Game loaded").empty());
    ann.send("5");
    ASSERT_FALSE(ann.frame_with("defeated by the T").empty());
    ann.send("q");
    ASSERT_TRUE(ann.wait_closed());

    ASSERT_TRUE(srv::wait_for([&] { return lines_of(server->file("xlogfile")).size() == 2; }));
    std::vector<std::string> scores = lines_of(server->file("xlogfile"));
    expect_score(scores[0], "Bob", "left");
    expect_score(scores[1], "Ann", "killed by the T");
    EXPECT_NE(scores[0].find("\tparty=2\t"), std::string::npos) << scores[0];
    EXPECT_NE(scores[1].find("\tclass=Fighter\t"), std::string::npos) << scores[1];
}
