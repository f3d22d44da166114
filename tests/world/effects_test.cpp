#include <gtest/gtest.h>

#include <ctime>

#include "world/dungeon.hpp"
#include "world/effects.hpp"
#include "world_fixtures.hpp"

namespace {
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
    Player& caster(int number, int cls, int mana, int max_mana)
    {
        Player& p = *player_by_number(*g, number);
        p.alive = 1;
        p.player_class = cls;
        p.mana = mana;
        p.max_mana = max_mana;
        copy_text(p.color, SPELL_GREY);
        return p;
    }

    std::time_t saved_clock = 0;
    world_test::GamePtr g = world_test::new_game();
};

TEST_F(Effects, FirstCallOfAProcessOnlyStartsTheClock)
{
    set_regen_clock(0);
    Player& p = caster(0, CLASS_WIZARD, 10, 150);
    p.invisible_turns = p.flying_turns = 5;
    update_effects(*g);
    EXPECT_GT(regen_clock(), 0);
    EXPECT_EQ(p.mana, 10);
    EXPECT_EQ(p.invisible_turns + p.flying_turns, 10);
}

TEST_F(Effects, DueClockRegeneratesLivingCastersUpToTheirMaximumAndRestarts)
{
    Player& wizard = caster(0, CLASS_WIZARD, 140, 150);
    g->other_count = 3;
    Player& necro = caster(1, CLASS_NECROMANCER, 10, 120);
    Player& rogue = caster(2, CLASS_ROGUE, 10, 80);
    Player& dead = caster(3, CLASS_WIZARD, 10, 150);
    dead.alive = 0;
    set_regen_clock(std::time(nullptr) - 119);
    update_effects(*g);
    EXPECT_EQ(wizard.mana, 140) << "not due yet";
    make_due();
    update_effects(*g);
    EXPECT_EQ(wizard.mana, 150);
    EXPECT_STREQ(wizard.message, "\x1b[96mYou feel your magical energy restore (+10 mana)\x1b[0m");
    EXPECT_EQ(necro.mana, 30);
    EXPECT_EQ(rogue.mana + dead.mana, 20) << "rogues and the dead never regenerate";
    EXPECT_EQ(rogue.message[0], '\0');
    update_effects(*g);
    EXPECT_EQ(necro.mana, 30) << "the clock restarted";
}

TEST_F(Effects, WithoutARegenerationTheClockStaysDueAndInvisibilityRunsDownTwice)
{
    Player& p = caster(0, CLASS_FIGHTER, 0, 50);
    p.invisible_turns = p.flying_turns = 10;
    make_due();
    std::time_t due = regen_clock();
    update_effects(*g);
    update_effects(*g);
    EXPECT_EQ(regen_clock(), due);
    EXPECT_EQ(p.invisible_turns, 6);
    EXPECT_EQ(p.flying_turns, 8) << "flight always runs down by one";
}

TEST_F(Effects, OnlyTheFadePassRestoresTheNormalColour)
{
    g->other_count = 1;
    Player& one = caster(0, CLASS_FIGHTER, 0, 0);
    Player& two = caster(1, CLASS_FIGHTER, 0, 0);
    one.invisible_turns = 1;
    two.invisible_turns = 2;
    two.alive = 0;  // counted down all the same
    make_due();
    update_effects(*g);
    EXPECT_STREQ(one.message, FADES);
    EXPECT_STREQ(one.color, "\x1b[36m");
    EXPECT_STREQ(two.message, INVISIBILITY_OFF);
    EXPECT_STREQ(two.color, SPELL_GREY);
    EXPECT_EQ(one.invisible_turns + two.invisible_turns, 0);
}

TEST_F(Effects, SpellLengthsEndOnTheirLastOrdinaryCall)
{
    Player& p = caster(0, CLASS_FIGHTER, 0, 0);
    p.invisible_turns = 400;
    p.flying_turns = 420;
    g->others[0].flying_turns = 3;  // not in use: other_count is 0
    make_fresh();
    for (int i = 0; i < 400; ++i)
        update_effects(*g);
    EXPECT_STREQ(p.message, INVISIBILITY_OFF);
    EXPECT_STREQ(p.color, SPELL_GREY);
    for (int i = 0; i < 19; ++i)
        update_effects(*g);
    EXPECT_EQ(p.flying_turns, 1);
    update_effects(*g);
    EXPECT_STREQ(p.message, FLYING_OFF);
    EXPECT_EQ(g->others[0].flying_turns, 3);

    p.invisible_turns = p.flying_turns = 1;
    update_effects(*g);
    EXPECT_STREQ(p.message, FLYING_OFF) << "flight's message wins when both end together";
}

}  // namespace
