// One client's output queue over a socket pair: order, coalescing, holds and
// the limits that cut a client off.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include "server/client_output.hpp"
#include "support/test_support.hpp"

using namespace std::chrono_literals;

TEST(ClientOutput, TextKeepsItsPlaceAndOnlyTheNewestWaitingFrameIsSent)
{
    test::SocketPair sp;
    ClientOutput out(sp.ours, {});
    ASSERT_TRUE(out.start());
    std::string frame = "F1";
    out.push_frame(frame);  // an idle writer takes it: a client that keeps up sees every frame
    out.begin_hold("prompt;");
    for (std::string f : { "F2", "F3" }) {
        out.push_text("text" + f + ";");
        out.push_frame(f);
    }
    out.push_pause("help;", 300ms);
    frame = "F4";
    out.push_frame(frame);
    EXPECT_EQ(test::read_available(sp.peer, 100, 300), "F1prompt;");
    out.end_hold();
    auto paused = std::chrono::steady_clock::now();
    EXPECT_EQ(test::read_until(sp.peer, "help;", 1000), "textF2;textF3;help;");
    EXPECT_EQ(test::read_until(sp.peer, "F4", 2000), "F4");
    EXPECT_GE(std::chrono::steady_clock::now() - paused, 250ms) << "the pause holds the frame";
    out.close_with("bye");
    frame = "F5";
    out.push_frame(frame);
    out.finish(1s);
    EXPECT_EQ(test::read_available(sp.peer, 100, 300), "bye");
    EXPECT_EQ(out.cut_reason(), "");
}

TEST(ClientOutput, FramesForAStuckClientNeverPileUpButTextAndStallsCutItOff)
{
    int small = 4096;
    for (bool stall : { false, true }) {
        test::SocketPair sp;
        setsockopt(sp.ours, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        ClientOutput out(sp.ours, { .stall = stall ? 300ms : 60s, .text_bytes = 1000 });
        ASSERT_TRUE(out.start());
        for (int i = 0; i < 200; ++i) {
            std::string frame(20000, static_cast<char>('a' + i % 26));
            out.push_frame(frame);
        }
        if (stall)
            std::this_thread::sleep_for(600ms);
        EXPECT_EQ(out.cut_reason(), stall ? "output stalled for 300 ms" : "");
        for (int i = 0; i < 2; ++i)
            out.push_text(std::string(600, 't'));
        EXPECT_NE(out.cut_reason(), "");
        test::read_available(sp.peer, 100, 2000);
        char byte;
        EXPECT_EQ(recv(sp.peer, &byte, 1, MSG_DONTWAIT), 0) << "the client's socket is shut down";
        out.finish(0ms);
    }
}
