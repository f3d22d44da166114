// Recordings as a player's screen leaves them: ttyrec files read back byte by
// byte and replayed through the server tests' terminal model.
#include "records/recorder.hpp"

#include <fcntl.h>
#include <filesystem>
#include <set>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include "log/log.hpp"
#include "records/archive.hpp"
#include "render/render.hpp"
#include "server/server_harness.hpp"
#include "world/dungeon.hpp"

namespace {

using namespace std::chrono_literals;
using test::read_file;
const Recorder::Clock::time_point T0 { std::chrono::seconds(1714566896) };  // 2024-05-01T12:34:56Z

// Real frames of one level, each with its own message line.
std::vector<std::string> frames(int count)
{
    std::srand(7);
    auto game = std::make_unique<Game>();
    generate_level(*game);
    std::vector<std::string> out(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        copy_text(game->player.message, "Frame " + std::to_string(i));
        build_frame(*game, game->player, 0, out[static_cast<std::size_t>(i)]);
    }
    return out;
}

std::string replay(const TtyrecParse& p)
{
    std::string bytes;
    for (const TtyrecFrame& f : p.frames)
        bytes += f.bytes;
    return bytes;
}

std::string le32(std::uint32_t v) { return { char(v), char(v >> 8), char(v >> 16), char(v >> 24) }; }

// The event log, written to a file for the scope.
class LogCapture {
public:
    explicit LogCapture(std::string file) : m_file(std::move(file)), m_saved(dup(2))
    {
        int fd = open(m_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
        start_event_log(LogTarget::Stderr);
    }
    ~LogCapture()
    {
        stop_event_log();
        dup2(m_saved, 2);
        close(m_saved);
    }
    std::string text() const { return flush_event_log(5000), read_file(m_file); }

private:
    std::string m_file;
    int m_saved;
};

class RecorderTest : public testing::Test {
protected:
    test::TempDir dir;
    test::ScopedChdir cd { dir.path() };
    LogCapture log { dir.file("events") };
    std::string path = recording_path(RECORDINGS_DIR, "ann", std::chrono::system_clock::to_time_t(T0));
};

TEST_F(RecorderTest, ReplayGivesTheLastScreenWithWellFormedHeaders)
{
    EXPECT_EQ(path, "recordings/ann/20240501T123456Z.ttyrec");
    auto f = frames(4);
    {
        Recorder r(path, Recorder::Open::New);
        ASSERT_TRUE(r.start());
        r.push(f[0], T0);
        r.push("Enter message: ", T0 + 250ms);
        r.push(f[1], T0 + 100ms);  // the clock stepped back
        r.push(f[2], T0 + 2s);
        r.push(f[3], T0 + 3s);
    }
    std::string bytes = read_file(path);
    EXPECT_EQ(bytes.substr(0, 12), le32(1714566896) + le32(0) + le32(static_cast<std::uint32_t>(f[0].size())));
    TtyrecParse p = parse_ttyrec(bytes);
    ASSERT_EQ(p.frames.size(), 5u);
    EXPECT_EQ(p.whole_bytes, bytes.size());
    EXPECT_EQ(p.frames[1].bytes, "Enter message: ");
    EXPECT_EQ(p.frames[1].time, (TtyrecTime { 1714566896, 250000 }));
    for (std::size_t i = 1; i < p.frames.size(); ++i)
        EXPECT_LE(p.frames[i - 1].time, p.frames[i].time) << i;
    srv::Screen last(replay(p));
    EXPECT_EQ(last.m_rows, srv::Screen(f[3]).m_rows);
    EXPECT_TRUE(last.contains("Frame 3"));

    if (test::file_exists("/usr/bin/ttyplay")) {
        test::Child play({ "/usr/bin/ttyplay", "-n", path }, { .pty = false, .env = {}, .cwd = {} });
        EXPECT_EQ(srv::Screen(test::read_available(play.fd(), 500)).m_rows, last.m_rows);
    }
    // A second game in the same second never overwrites the first.
    Recorder again(path, Recorder::Open::New);
    ASSERT_TRUE(again.start());
    EXPECT_EQ(again.path(), "recordings/ann/20240501T123456Z-2.ttyrec");
    EXPECT_EQ(read_file(path), bytes);
}

TEST_F(RecorderTest, ARedrawReplacesWhatCameSinceTheRedrawNotYetWritten)
{
    auto f = frames(3);
    Recorder::Stats stats;
    {
        Recorder r(path, Recorder::Open::New, { .batch = 10s });
        ASSERT_TRUE(r.start());
        r.push("a", T0);
        r.push_redraw(f[0], T0);
        r.push_redraw(f[1], T0 + 1ms);
        r.push("b", T0 + 2ms);
        r.push_redraw(f[2], T0 + 3ms);
        r.push("c", T0 + 4ms);
        stats = r.stats();
    }
    std::string bytes = read_file(path);
    TtyrecParse p = parse_ttyrec(bytes);
    std::vector<std::string> got;
    for (const TtyrecFrame& frame : p.frames)
        got.emplace_back(frame.bytes);
    EXPECT_EQ(got, (std::vector<std::string> { "a", f[2], "c" }));
    EXPECT_EQ(stats.replaced, 2u);
}

// Two threads push at once, as the broadcaster and a client's own thread will.
TEST_F(RecorderTest, FullQueueDropsWholeFramesOnlyAndSaysSo)
{
    std::vector<std::string> pushed[2];
    Recorder::Stats stats;
    {
        Recorder r(path, Recorder::Open::New, { .queue_bytes = 3500 });
        ASSERT_TRUE(r.start());
        auto pusher = [&](int t) {
            for (int i = 0; i < 150; ++i) {
                pushed[t].push_back(std::to_string(t) + ":" + std::to_string(i) + ";" + std::string(1000 + i % 50, 'a'));
                r.push(pushed[t].back());
            }
        };
        std::thread other(pusher, 1);
        pusher(0);
        other.join();
        r.push(std::string(5000, 'x'));  // never fits
        ASSERT_TRUE(r.flush(5s));
        stats = r.stats();
    }
    EXPECT_EQ(stats.frames + stats.dropped, 301u);
    EXPECT_GE(stats.dropped, 1u);

    std::string bytes = read_file(path);
    TtyrecParse p = parse_ttyrec(bytes);
    EXPECT_EQ(p.whole_bytes, bytes.size());
    EXPECT_EQ(p.frames.size(), stats.frames);
    EXPECT_EQ(stats.bytes, bytes.size());
    std::size_t next[2] = { 0, 0 };  // every frame is one pushed, whole and in its thread's order
    for (const TtyrecFrame& f : p.frames) {
        auto& mine = pushed[f.bytes[0] == '1'];
        std::size_t& at = next[f.bytes[0] == '1'];
        while (at < mine.size() && mine[at] != f.bytes)
            ++at;
        EXPECT_LT(at++, mine.size()) << f.bytes.substr(0, 8);
    }
    EXPECT_NE(log.text().find("record \"" + path + "\" dropped"), std::string::npos) << log.text();
}

TEST_F(RecorderTest, ContinuingCutsATornFrameAndKeepsTimeGoingForward)
{
    auto f = frames(3);
    {
        Recorder r(path, Recorder::Open::New);
        ASSERT_TRUE(r.start());
        r.push(f[0], T0);
        r.push(f[1], T0 + 2s);
    }
    std::string whole = read_file(path);
    TtyrecHeader torn = encode_ttyrec_header({}, 1000);
    test::write_file(path, whole + std::string(torn.begin(), torn.end()) + "half a frame");
    {
        Recorder r(path, Recorder::Open::Continue);
        ASSERT_TRUE(r.start());
        r.push(f[2], T0 + 1s);
    }
    std::string bytes = read_file(path);
    TtyrecParse p = parse_ttyrec(bytes);
    ASSERT_EQ(p.frames.size(), 3u);
    EXPECT_EQ(p.whole_bytes, bytes.size());
    EXPECT_EQ(bytes.substr(0, whole.size()), whole);
    EXPECT_EQ(p.frames[2].bytes, f[2]);
    EXPECT_EQ(p.frames[2].time, p.frames[1].time);
    EXPECT_NE(log.text().find("cut 24 bytes of a torn frame"), std::string::npos) << log.text();
}

// In a child process: 0 when a file size limit hit mid-write left whole frames only.
int record_beyond_file_limit(const std::string& path)
{
    rlimit limit { 25000, 25000 };
    setrlimit(RLIMIT_FSIZE, &limit);
    signal(SIGXFSZ, SIG_IGN);
    bool flushed;
    {
        Recorder r(path, Recorder::Open::New);
        r.start();
        for (int i = 0; i < 5; ++i)
            r.push(std::string(10000, 'z'));
        flushed = r.flush(5s);
    }
    std::string bytes = read_file(path);
    return !flushed && parse_ttyrec(bytes).whole_bytes == bytes.size() ? 0 : 1;
}

TEST_F(RecorderTest, FullDiskLeavesOnlyWholeFrames)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(_exit(record_beyond_file_limit(path)), testing::ExitedWithCode(0), "");
}

std::string gunzip(const std::string& path)
{
    gzFile gz = gzopen(path.c_str(), "rb");
    std::string out;
    char buf[65536];
    for (int n; gz && (n = gzread(gz, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<std::size_t>(n));
    return gz && gzclose(gz) == Z_OK ? out : "not gzip";
}

TEST_F(RecorderTest, CompressedOnlyOnceClosed)
{
    RecordingArchive archive(RECORDINGS_DIR, 1u << 30);
    ASSERT_TRUE(archive.start());
    auto f = frames(3);
    std::string plain;
    {
        Recorder r(path, Recorder::Open::New, { .archive = &archive });
        ASSERT_TRUE(r.start());
        for (const std::string& frame : f)
            r.push(frame);
        ASSERT_TRUE(r.flush(5s));
        ASSERT_TRUE(archive.flush(5s));
        EXPECT_FALSE(test::file_exists(path + ".gz"));
        plain = read_file(path);
    }
    ASSERT_TRUE(archive.flush(10s));
    EXPECT_FALSE(test::file_exists(path));
    EXPECT_EQ(gunzip(path + ".gz"), plain);
    EXPECT_EQ(parse_ttyrec(plain).frames.size(), 3u);
    EXPECT_NE(log.text().find("record compressed \"" + path + ".gz\""), std::string::npos) << log.text();
}

TEST_F(RecorderTest, SizeBoundRemovesOldestFinishedOnly)
{
    namespace fs = std::filesystem;
    auto make = [](const std::string& name, int age_s) {
        fs::create_directories(fs::path(name).parent_path());
        test::write_file(name, std::string(400, 'r'));
        fs::last_write_time(name, fs::file_time_type::clock::now() - std::chrono::seconds(age_s));
    };
    make("recordings/a/1.ttyrec.gz", 300);
    make("recordings/b/2.ttyrec.gz", 200);
    make("recordings/a/3.ttyrec.gz", 100);
    make("recordings/a/live.ttyrec", 1000);  // still being written
    test::write_file("outside.ttyrec.gz", std::string(10000, 'o'));
    fs::create_symlink(dir.file("outside.ttyrec.gz"), "recordings/a/link.ttyrec.gz");

    EXPECT_EQ(keep_recordings_below(RECORDINGS_DIR, 900), 2);
    EXPECT_FALSE(fs::exists("recordings/a/1.ttyrec.gz"));
    EXPECT_FALSE(fs::exists("recordings/b"));
    EXPECT_TRUE(fs::exists("recordings/a/3.ttyrec.gz"));
    EXPECT_TRUE(fs::exists("recordings/a/live.ttyrec"));
    EXPECT_TRUE(fs::exists("outside.ttyrec.gz"));
    EXPECT_NE(log.text().find("record removed \"recordings/b/2.ttyrec.gz\" 400 bytes"), std::string::npos);
    EXPECT_EQ(unfinished_recording(RECORDINGS_DIR, "a"), "recordings/a/live.ttyrec");
    EXPECT_EQ(unfinished_recording(RECORDINGS_DIR, "b"), std::nullopt);
}

TEST(RecordingNames, EveryAccountGetsAFolderOfItsOwnInsideTheRecordings)
{
    std::vector<std::string> names { "ann", "a.b", "../etc", ".hidden", "a/b", "a%2Fb", "", "Zo\xc3\xab", "a b" };
    std::set<std::string> folders;
    for (const std::string& name : names) {
        std::string folder = account_folder(name);
        SCOPED_TRACE(folder);
        EXPECT_EQ(folder.find('/'), std::string::npos);
        EXPECT_NE(folder[0], '.');
        EXPECT_TRUE(folders.insert(folder).second);
    }
    EXPECT_EQ(account_folder("a.b"), "a.b");
    EXPECT_EQ(account_folder("../etc"), "%2E.%2Fetc");
}

}  // namespace
