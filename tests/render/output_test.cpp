// Where frames go and how: one write per frame, nothing without a client, the
// help pause, and damaged records that must not make the renderer overrun.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "render/scene.hpp"
#include "support/test_support.hpp"
#include "term/term.hpp"
#include "world/items.hpp"

namespace {
using test::lit_game;

// Puts the output channel back however a test ends.
struct ChannelGuard {
    ~ChannelGuard()
    {
        set_server_mode(0);
        set_output_fd(-1);
    }
};

// Points a standard descriptor elsewhere for a scope.
class Redirect {
public:
    Redirect(int target, int fd) : m_target(target), m_saved(dup(target))
    {
        std::fflush(nullptr);
        dup2(fd, target);
    }
    ~Redirect()
    {
        std::fflush(nullptr);
        dup2(m_saved, m_target);
        close(m_saved);
    }
    Redirect(const Redirect&) = delete;
    Redirect& operator=(const Redirect&) = delete;

private:
    int m_target;
    int m_saved;
};

// Reads one message without waiting; empty when none is queued.
std::string recv_message(int fd)
{
    std::string buf(1 << 20, '\0');
    ssize_t n = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
    buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return buf;
}

TEST(RenderScreen, OneFrameInOneWriteToTheClientSocket)
{
    ChannelGuard guard;
    int sv[2];
    // Packets keep write boundaries, so each recv returns exactly one write.
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    UniqueFd fds_a(sv[0]), fds_b(sv[1]);
    int bigger = 1 << 20;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &bigger, sizeof bigger);
    auto g = lit_game();
    copy_text(g->player.message, "hi");
    set_server_mode(1);
    set_output_fd(sv[0]);
    render_screen(*g, g->player, 0);
    const std::string first = recv_message(sv[1]);
    EXPECT_EQ(first, test::frame_of(*g));
    EXPECT_EQ(recv_message(sv[1]), "");

    // The next frame is again exactly one write (the buffer is reused).
    render_screen(*g, g->player, 0);
    EXPECT_EQ(recv_message(sv[1]), first);
    EXPECT_EQ(recv_message(sv[1]), "");
}

TEST(RenderScreen, ServerWithoutAClientWritesNothing)
{
    ChannelGuard guard;
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    UniqueFd fds_a(p[0]), fds_b(p[1]);
    auto g = lit_game();
    set_server_mode(1);
    set_output_fd(-1);
    {
        Redirect out(1, p[1]);
        render_screen(*g, g->player, 0);
    }
    char c;
    EXPECT_EQ(read(p[0], &c, 1), -1);
}

TEST(RenderScreen, LocalPlayGoesToStandardOutput)
{
    ChannelGuard guard;
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    UniqueFd fds_a(p[0]), fds_b(p[1]);
    int bigger = 1 << 20;
    fcntl(p[1], F_SETPIPE_SZ, bigger);
    auto g = lit_game();
    set_output_fd(p[1]);  // ignored outside server mode
    {
        Redirect out(1, p[1]);
        render_screen(*g, g->player, 0);
    }
    std::string got(1 << 20, '\0');
    ssize_t n = read(p[0], got.data(), got.size());
    got.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    EXPECT_EQ(got, test::frame_of(*g));
}

TEST(ShowHelp, ServerPausesThreeSecondsAfterSendingTheText)
{
    ChannelGuard guard;
    test::SocketPair sp;
    set_server_mode(1);
    set_output_fd(sp.ours);
    static Game g{};
    auto start = std::chrono::steady_clock::now();
    show_help(g);
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(2990));
    EXPECT_LT(waited, std::chrono::milliseconds(4500));
    EXPECT_EQ(recv_message(sp.peer), std::string("\x1b[H\x1b[J") + help_text());
}

TEST(ShowHelp, LocalReadsOneKeyWithoutEchoAndRestoresTheTerminal)
{
    ChannelGuard guard;
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    UniqueFd fds_a(master), fds_b(slave);
    struct termios before {};
    tcgetattr(slave, &before);
    before.c_lflag |= ICANON | ECHO;
    tcsetattr(slave, TCSANOW, &before);
    int out[2];
    ASSERT_EQ(pipe2(out, O_NONBLOCK), 0);
    UniqueFd out_fds_a(out[0]), out_fds_b(out[1]);

    static Game g{};
    {
        Redirect in(0, slave);
        Redirect screen(1, out[1]);
        // Typed while the help waits, with no line feed after it: a canonical
        // read would wait for one, and an echo would come back on the master.
        std::thread typist([master] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            EXPECT_EQ(write(master, "kq", 2), 2);
        });
        show_help(g);
        typist.join();
        char rest = 0;
        struct termios now {};
        tcgetattr(0, &now);
        EXPECT_EQ(now.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
        // Exactly one key was taken: the second is still there (read raw).
        now.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(0, TCSANOW, &now);
        EXPECT_EQ(read(0, &rest, 1), 1);
        EXPECT_EQ(rest, 'q');
        tcsetattr(0, TCSANOW, &before);
    }
    std::string screen(4096, '\0');
    ssize_t n = read(out[0], screen.data(), screen.size());
    screen.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    EXPECT_EQ(screen, std::string("\x1b[H\x1b[J") + help_text());
    // Nothing was echoed back to the terminal.
    char echoed;
    fcntl(master, F_SETFL, O_NONBLOCK);
    EXPECT_EQ(read(master, &echoed, 1), -1);
}

// A record full of marker bytes: every text field is filled to its last byte
// with 'A' and no terminator, everything around it is 'B', and every count is
// far beyond its array. A renderer that reads a field past its width prints a
// 'B'; one that trusts a count reads past the record (ASan).
std::unique_ptr<Game> damaged_game(Item* item)
{
    auto g = test::blank_game();
    std::memset(static_cast<void*>(g.get()), 'B', sizeof(Game));
    for (auto& column : g->map) {
        for (Cell& c : column) {
            c.glyph = 'g';
            std::memset(c.color, 'A', sizeof c.color);
        }
    }
    auto fix_player = [&](Player& p, int x) {
        p.x = x;
        p.y = 5;
        p.glyph = 'g';
        p.cursor_x = x;
        p.cursor_y = 6;
        std::memset(p.color, 'A', sizeof p.color);
        std::memset(p.message, 'A', sizeof p.message);
        for (Item*& slot : p.inventory)
            slot = item;
        p.weapon = item;
        p.armor = item;
        p.player_class = CLASS_NECROMANCER;
        for (Spell& s : p.spells)
            std::memset(s.name, 'A', sizeof s.name);
    };
    fix_player(g->player, 1);
    for (int k = 0; k < MAX_OTHERS; ++k)
        fix_player(g->others[k], 2 + k);
    for (Monster& m : g->monsters) {
        m.x = 7;
        m.y = 7;
        m.glyph = 'g';
        std::memset(m.color, 'A', sizeof m.color);
    }
    for (Item& it : g->floor_items) {
        it.x = 8;
        it.y = 8;
        it.glyph = 'g';
        std::memset(it.color, 'A', sizeof it.color);
    }
    for (Projectile& pr : g->projectiles) {
        pr.x = 9;
        pr.y = 9;
        pr.glyph = 'g';
        std::memset(pr.color, 'A', sizeof pr.color);
    }
    g->stores[0].x = 10;
    g->stores[0].y = 10;
    for (Corpse& c : g->corpses) {
        c.x = 11;
        c.y = 11;
    }
    for (auto& line : g->chat_lines)
        std::memset(line, 'A', sizeof line);
    g->monster_count = INT_MAX;
    g->floor_item_count = INT_MAX;
    g->corpse_count = INT_MAX;
    g->store_count = INT_MAX;
    g->other_count = INT_MAX;
    g->chat_count = INT_MAX;
    g->controlled_ally = INT_MAX;
    g->ally_control_mode = ALLY_MANUAL;
    g->ally_controller = 0;
    g->skip_key = 0;
    for (Player* p : {&g->player, &g->others[0], &g->others[1], &g->others[2]})
        p->spell_count = INT_MAX;
    std::memset(static_cast<void*>(item), 'B', sizeof(Item));
    std::memset(item->name, 'A', sizeof item->name);
    return g;
}

TEST(DamagedRecord, FieldsAreReadOnlyToTheirWidthAndCountsHeldToArrays)
{
    Item* item = create_blank_item();
    auto g = damaged_game(item);
    for (int slot : {0, 1, 3, -1, INT_MAX}) {
        SCOPED_TRACE(slot);
        const Player& viewer = slot >= 0 && slot <= 3 ? *player_by_number(*g, slot) : g->player;
        std::string out;
        build_frame(*g, viewer, slot, out);
        EXPECT_EQ(out.find('B'), std::string::npos);
        EXPECT_NE(out.find("--- SPELLS ---"), std::string::npos);
        EXPECT_NE(out.find("Input: "), std::string::npos);
    }

    // Counts below zero draw no entity at all and an empty chat.
    g->monster_count = INT_MIN;
    g->floor_item_count = -1;
    g->corpse_count = INT_MIN;
    g->store_count = -7;
    g->other_count = INT_MIN;
    g->chat_count = INT_MIN;
    g->player.spell_count = INT_MIN;
    g->player.x = INT_MAX;  // the minimap around it must not overflow
    g->player.y = INT_MIN;
    std::string out;
    build_frame(*g, g->player, 0, out);
    EXPECT_EQ(out.find('B'), std::string::npos);
    EXPECT_NE(out.find("\x1b[2;1H\x1b[0m \x1b[3;1H\x1b[0m \x1b[4;1H\x1b[0m \x1b[5;1H\x1b[0m \x1b[0m"),
              std::string::npos);
    EXPECT_EQ(out.find("\x1b[95m+"), std::string::npos);
    destroy_item(item);
}

}  // namespace
