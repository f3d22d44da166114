#include <gtest/gtest.h>

#include <ctime>

#include "world/dungeon.hpp"
#include "world/effects.hpp"
#include "world_fixtures.hpp"

namespace {
using world_test::new_game;

constexpr const char* FADES = "\x1b[33mYour invisibility fades...\x1b[0m";
constexpr const char* INVISIBILITY_OFF = "\x1b[33mYour invisibility wears off.\x1b[0m";
constexpr const char* FLYING_OFF = "\x1b[33mYour flying wears off.\x1b[0m";
constexpr const char* SPELL_GREY = "\x1b[90m";

class Effects : public ::testing::Test {
protected:
    void SetUp() override { saved_clock = regen_clock(); }
    void TearDown() override { set_regen_clock(saved_clock); }

    static void make_due() { set_regen_clock(std::time(nullptr) - 120); }
    static void make_fresh() { set_regen_clock(std::time(nullptr)); }

    static void make_caster(Player& p, int cls, int mana, int max_mana)
    {
        p.alive = 1;
        p.player_class = cls;
        p.mana = mana;
        p.max_mana = max_mana;
        copy_text(p.color, "\x1b[36m");
    }

    std::time_t saved_clock = 0;
    world_test::GamePtr g = new_game();
};

TEST_F(Effects, FirstCallOfAProcessOnlyStartsTheClock)
{
    set_regen_clock(0);
    make_caster(g->player, CLASS_WIZARD, 10, 150);
    g->player.invisible_turns = 5;
    g->player.flying_turns = 5;
    std::time_t before = std::time(nullptr);
    update_effects(*g);
    EXPECT_GE(regen_clock(), before);
    EXPECT_EQ(g->player.mana, 10);
    EXPECT_EQ(g->player.invisible_turns, 5);
    EXPECT_EQ(g->player.flying_turns, 5);
}

TEST_F(Effects, DueClockRegeneratesLivingCastersOnlyUpToTheirMaximum)
{
    make_caster(g->player, CLASS_WIZARD, 140, 150);
    g->other_count = 3;
    make_caster(g->others[0], CLASS_NECROMANCER, 10, 120);
    make_caster(g->others[1], CLASS_ROGUE, 10, 80);
    make_caster(g->others[2], CLASS_WIZARD, 10, 150);
    g->others[2].alive = 0;
    make_due();
    std::time_t before = std::time(nullptr);
    update_effects(*g);
    EXPECT_EQ(g->player.mana, 150);
    EXPECT_STREQ(g->player.message,
                 "\x1b[96mYou feel your magical energy restore (+10 mana)\x1b[0m");
    EXPECT_EQ(g->others[0].mana, 30);
    EXPECT_EQ(g->others[1].mana, 10) << "a rogue never regenerates";
    EXPECT_EQ(g->others[1].message[0], '\0');
    EXPECT_EQ(g->others[2].mana, 10) << "nor does a dead player";
    EXPECT_GE(regen_clock(), before);

    // The clock was reset, so the next call within the interval gives nothing.
    update_effects(*g);
    EXPECT_EQ(g->others[0].mana, 30);
}

TEST_F(Effects, ClockNotDueGivesNothingAndPlayersBeyondTheCountAreLeftAlone)
{
    make_caster(g->player, CLASS_WIZARD, 10, 150);
    g->others[0].invisible_turns = 3;  // not in use: other_count is 0
    set_regen_clock(std::time(nullptr) - 119);
    update_effects(*g);
    EXPECT_EQ(g->player.mana, 10);
    EXPECT_EQ(g->others[0].invisible_turns, 3);
}

TEST_F(Effects, WithoutARegenerationTheClockStaysDueAndInvisibilityRunsDownTwice)
{
    make_caster(g->player, CLASS_FIGHTER, 0, 50);
    g->player.invisible_turns = 10;
    g->player.flying_turns = 10;
    make_due();
    std::time_t due = regen_clock();
    update_effects(*g);
    update_effects(*g);
    EXPECT_EQ(regen_clock(), due);
    EXPECT_EQ(g->player.invisible_turns, 6);
    EXPECT_EQ(g->player.flying_turns, 8) << "flight always runs down by one";
}

TEST_F(Effects, InvisibilityEndingInTheFadePassRestoresTheColour)
{
    make_caster(g->player, CLASS_FIGHTER, 0, 0);
    copy_text(g->player.color, SPELL_GREY);
    g->player.invisible_turns = 1;
    make_due();
    update_effects(*g);
    EXPECT_EQ(g->player.invisible_turns, 0);
    EXPECT_STREQ(g->player.message, FADES);
    EXPECT_STREQ(g->player.color, "\x1b[36m");
}

TEST_F(Effects, InvisibilityEndingInTheTurnPassKeepsTheSpellColour)
{
    make_caster(g->player, CLASS_FIGHTER, 0, 0);
    copy_text(g->player.color, SPELL_GREY);
    g->player.invisible_turns = 2;
    make_due();
    update_effects(*g);
    EXPECT_EQ(g->player.invisible_turns, 0);
    EXPECT_STREQ(g->player.message, INVISIBILITY_OFF);
    EXPECT_STREQ(g->player.color, SPELL_GREY);

    g->player.invisible_turns = 400;
    copy_text(g->player.message, "");
    make_fresh();
    for (int i = 0; i < 399; ++i)
        update_effects(*g);
    EXPECT_EQ(g->player.message[0], '\0');
    update_effects(*g);
    EXPECT_STREQ(g->player.message, INVISIBILITY_OFF);
    EXPECT_STREQ(g->player.color, SPELL_GREY);
}

TEST_F(Effects, FlightOfFourHundredTwentyTurnsEndsOnTheLastCall)
{
    g->player.alive = 1;
    g->player.flying_turns = 420;
    make_fresh();
    for (int i = 0; i < 419; ++i)
        update_effects(*g);
    EXPECT_EQ(g->player.flying_turns, 1);
    EXPECT_EQ(g->player.message[0], '\0');
    update_effects(*g);
    EXPECT_EQ(g->player.flying_turns, 0);
    EXPECT_STREQ(g->player.message, FLYING_OFF);
    update_effects(*g);
    EXPECT_EQ(g->player.flying_turns, 0);
}

TEST_F(Effects, FlightMessageWinsWhenBothEndTogether)
{
    g->player.alive = 1;
    g->player.invisible_turns = 1;
    g->player.flying_turns = 1;
    make_fresh();
    update_effects(*g);
    EXPECT_STREQ(g->player.message, FLYING_OFF);
}

TEST_F(Effects, DeadOthersInUseStillCountDown)
{
    g->other_count = 1;
    g->others[0].alive = 0;
    g->others[0].invisible_turns = 1;
    g->others[0].flying_turns = 3;
    make_due();
    update_effects(*g);
    EXPECT_STREQ(g->others[0].message, FADES);
    EXPECT_EQ(g->others[0].flying_turns, 2);
}

}  // namespace
