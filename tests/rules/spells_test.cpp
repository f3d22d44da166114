#include <memory>

#include "rules/scene.hpp"
#include "rules/spells.hpp"

namespace {
using namespace scene;

Player& wizard(Game& g)
{
    Player& p = g.player;
    p.player_class = CLASS_WIZARD;
    p.mana = p.max_mana = 150;
    learn(p, SPELL_FIREBALL, "Fireball", 20, 25);
    learn(p, SPELL_HEAL, "Heal", 15, 20);
    learn(p, SPELL_INVISIBILITY, "Invisibility", 35, 0);
    learn(p, SPELL_FLIGHT, "Flight", 40, 0);
    return p;
}

Player& necromancer(Game& g)
{
    Player& p = g.player;
    p.player_class = CLASS_NECROMANCER;
    p.mana = p.max_mana = 120;
    learn(p, SPELL_ANIMATE_DEAD, "Animate Dead", 30, 0);
    learn(p, SPELL_POSSESS_ENEMY, "Possess Enemy", 25, 0);
    return p;
}

TEST(SpellMenu, KeysAimCastOrRefuse)
{
    Game& g = fresh();
    Player& p = wizard(g);
    p.choosing_spell = 1;
    auto before = std::make_unique<Game>(g);
    choose_spell(g, '5', p);  // beyond the list
    choose_spell(g, 'x', p);
    EXPECT_EQ(0, std::memcmp(before.get(), &g, sizeof g));
    p.mana = 39;
    choose_spell(g, '4', p);
    EXPECT_STREQ(p.message, "\x1b[31mNot enough mana!\x1b[0m");
    EXPECT_EQ(p.choosing_spell, 1);
    choose_spell(g, '2', p);  // a Wizard aims Heal
    EXPECT_EQ(p.aiming, 1);
    EXPECT_EQ(p.selected_spell, SPELL_HEAL);
    EXPECT_EQ(p.choosing_spell, 0);
    EXPECT_EQ(p.cursor_x, 10);
    EXPECT_STREQ(p.message, "\x1b[91mAiming Heal \xe2\x80\x93 use numpad, 'c' to cast, space/ESC to cancel\x1b[0m");
    EXPECT_EQ(p.mana, 39);

    for (char key : {'\x1b', ' ', '0', 'q', 'c'}) {
        p.choosing_spell = 1;
        choose_spell(g, key, p);
        EXPECT_EQ(p.choosing_spell, 0);
        EXPECT_STREQ(p.message, "");
    }
}

TEST(SpellMenu, HealInANonWizardListIsCastAtOnceUnlessWizardModeIsOn)
{
    Game& g = fresh();
    Player& p = necromancer(g);
    learn(p, SPELL_HEAL, "Heal", 15, 20);
    p.hp = 5;
    p.choosing_spell = 1;
    choose_spell(g, '3', p);
    EXPECT_EQ(p.hp, 25);
    EXPECT_EQ(p.aiming, 0);
    EXPECT_EQ(p.choosing_spell, 0);
    EXPECT_EQ(g.turn, 1);
    EXPECT_STREQ(p.message, "\x1b[92mYou heal yourself for 20 HP.\x1b[0m");
    g.wizard_mode = 1;
    choose_spell(g, '3', p);
    EXPECT_EQ(p.aiming, 1);
}

TEST(Casting, UnknownOrUnaffordableSpellsCostNothing)
{
    Game& g = fresh();
    Player& p = necromancer(g);
    learn(p, 9, "Nonsense", 1, 0);
    auto before = std::make_unique<Game>(g);
    cast_spell(g, SPELL_FIREBALL, 10, 10, p);
    cast_spell(g, 9, 10, 10, p);
    EXPECT_EQ(0, std::memcmp(before.get(), &g, sizeof g));
    p.mana = 10;
    cast_spell(g, SPELL_ANIMATE_DEAD, 10, 10, p);
    EXPECT_STREQ(p.message, "\x1b[31mNot enough mana for Animate Dead.\x1b[0m");
    EXPECT_EQ(p.mana, 10);
    EXPECT_EQ(g.turn, 0);
}

TEST(Fireball, DamageIsTheDrawPlusPowerLessDefenseAtLeastOne)
{
    Game& g = fresh();
    Player& p = wizard(g);
    Monster& tough = monster(g, 20, 10, 1000, 7, 30);
    for (unsigned seed = 0; seed < 50; ++seed) {
        std::srand(seed);
        int hp = tough.hp;
        p.mana = 150;
        cast_spell(g, SPELL_FIREBALL, 20, 10, p);
        EXPECT_GE(hp - tough.hp, 1);
        EXPECT_LE(hp - tough.hp, 4);
    }
    Monster& m = monster(g, 21, 10, 100, 7, 2, 13);
    int r = draw(77, 10);
    cast_spell(g, SPELL_FIREBALL, 21, 10, p);
    EXPECT_EQ(m.hp, 100 - (r + 25 - 2));
    m.hp = 1;
    cast_spell(g, SPELL_FIREBALL, 21, 10, p);
    EXPECT_EQ(m.alive, 0);
    EXPECT_EQ(p.gold, 13);
    EXPECT_EQ(g.corpse_count, 1);
    EXPECT_STREQ(p.message, "\x1b[91mFireball kills the o!\x1b[0m");

    Monster& friendly = ally(g, 22, 10);
    int mana = p.mana;
    int turn = g.turn;
    cast_spell(g, SPELL_FIREBALL, 22, 10, p);
    EXPECT_EQ(friendly.hp, 25);
    EXPECT_STREQ(p.message, "\x1b[33mFireball fizzles harmlessly.\x1b[0m");
    EXPECT_EQ(p.mana, mana - 20);
    EXPECT_EQ(g.turn, turn + 1);
}

TEST(Heal, TargetsPlayersFirstThenAlliesAndRefundsWhenNobodyIsThere)
{
    Game& g = fresh();
    Player& caster = other(g, 5, 5);
    caster.mana = 100;
    learn(caster, SPELL_HEAL, "Heal", 15, 20);
    Player& mate = other(g, 6, 5);
    g.player.alive = 0;  // the leader is healed by position alone
    g.player.hp = 1;
    cast_spell(g, SPELL_HEAL, 10, 10, caster);
    EXPECT_EQ(g.player.hp, 21);
    EXPECT_STREQ(caster.message, "\x1b[92mYou heal the leader for 20 HP.\x1b[0m");
    cast_spell(g, SPELL_HEAL, 6, 5, caster);  // at full health: mana spent, full power reported
    EXPECT_EQ(mate.hp, 30);
    EXPECT_STREQ(caster.message, "\x1b[92mYou heal your teammate for 20 HP.\x1b[0m");
    EXPECT_EQ(caster.mana, 70);

    Monster& hostile = monster(g, 7, 5, 25);
    hostile.hp = 1;
    Monster& friendly = ally(g, 7, 5, 25);
    friendly.hp = 10;
    cast_spell(g, SPELL_HEAL, 7, 5, caster);
    EXPECT_EQ(hostile.hp, 1);
    EXPECT_EQ(friendly.hp, 25);
    EXPECT_STREQ(caster.message, "\x1b[92mYou heal your ally for 20 HP.\x1b[0m");

    int turn = g.turn;
    cast_spell(g, SPELL_HEAL, 30, 15, caster);
    EXPECT_STREQ(caster.message, "\x1b[33mNothing to heal there.\x1b[0m");
    EXPECT_EQ(caster.mana, 55);
    EXPECT_EQ(g.turn, turn + 1);
}

TEST(AnimateDead, RaisesTheFirstCorpseIntoTheFirstDeadSlot)
{
    Game& g = fresh();
    Player& p = necromancer(g);
    monster(g, 1, 1);
    monster(g, 2, 2).alive = 0;
    Monster& gold_carrier = g.monsters[1];
    gold_carrier.gold = 40;
    monster(g, 3, 3);
    add_corpse(g, 20, 10, -3, 45, 9, 4);
    add_corpse(g, 21, 10, 0, 30, 7, 2);
    add_corpse(g, 20, 10, 0, 50, 8, 3);
    cast_spell(g, SPELL_ANIMATE_DEAD, 20, 10, p);
    const Monster& z = g.monsters[1];
    EXPECT_EQ(z.alive, 1);
    EXPECT_EQ(z.is_ally, 1);
    EXPECT_EQ(z.glyph, 'z');
    EXPECT_EQ(z.hp, 22);
    EXPECT_EQ(z.max_hp, 45);
    EXPECT_EQ(z.attack, 9);
    EXPECT_EQ(z.ally_turns, 200);
    EXPECT_EQ(z.ally_mode, ALLY_FOLLOW);
    EXPECT_EQ(z.gold, 0);
    EXPECT_STREQ(z.color, "\x1b[35m");
    EXPECT_EQ(g.monster_count, 3);
    ASSERT_EQ(g.corpse_count, 2);
    EXPECT_EQ(g.corpses[0].max_hp, 50);  // the last corpse took the freed place
    EXPECT_STREQ(p.message, "\x1b[95mA corpse rises as your new ally!\x1b[0m");

    cast_spell(g, SPELL_ANIMATE_DEAD, 21, 10, p);
    EXPECT_EQ(g.monster_count, 4);
    EXPECT_EQ(g.monsters[3].max_hp, 30);

    int mana = p.mana;
    cast_spell(g, SPELL_ANIMATE_DEAD, 40, 10, p);
    EXPECT_STREQ(p.message, "\x1b[33mNo corpse to animate at that location.\x1b[0m");
    EXPECT_EQ(p.mana, mana - 30);
    g.monster_count = MAX_MONSTERS;
    cast_spell(g, SPELL_ANIMATE_DEAD, 20, 10, p);
    EXPECT_EQ(g.corpse_count, 1);
    EXPECT_EQ(g.turn, 4);
}

TEST(PossessEnemy, TurnsAHostileIntoAFollowerAndRefusesAllies)
{
    Game& g = fresh();
    Player& p = necromancer(g);
    Monster& m = monster(g, 20, 10, 33, 11, 4);
    cast_spell(g, SPELL_POSSESS_ENEMY, 20, 10, p);
    EXPECT_EQ(m.is_ally, 1);
    EXPECT_EQ(m.ally_turns, 200);
    EXPECT_EQ(m.ally_mode, ALLY_FOLLOW);
    EXPECT_STREQ(m.color, "\x1b[95m");
    EXPECT_EQ(m.hp, 33);
    EXPECT_STREQ(p.message, "\x1b[95mYou seize control of the o!\x1b[0m");
    cast_spell(g, SPELL_POSSESS_ENEMY, 20, 10, p);
    EXPECT_STREQ(p.message, "\x1b[33mNo hostile enemy to control at that location.\x1b[0m");
    EXPECT_EQ(p.mana, 70);
    EXPECT_EQ(g.turn, 2);
}

const char* chat_names(int number) { return number == 1 ? "ann" : nullptr; }

TEST(Invisibility, SpendsOnAMissWithoutATurnAndNamesTheTarget)
{
    Game& g = fresh();
    Player& caster = other(g, 5, 5);
    caster.mana = 200;
    learn(caster, SPELL_INVISIBILITY, "Invisibility", 35, 0);
    other(g, 6, 5).alive = 0;
    cast_spell(g, SPELL_INVISIBILITY, 6, 5, caster);  // a dead player is no target
    EXPECT_STREQ(caster.message, "\x1b[31mNo player at that location.\x1b[0m");
    EXPECT_EQ(caster.mana, 165);
    EXPECT_EQ(g.turn, 0);

    cast_spell(g, SPELL_INVISIBILITY, 10, 10, caster);
    EXPECT_STREQ(caster.message, "\x1b[90mYou is now invisible for 400 turns!\x1b[0m");
    EXPECT_EQ(g.player.invisible_turns, 400);
    EXPECT_STREQ(g.player.color, "\x1b[90m");
    EXPECT_EQ(g.turn, 1);

    g.others[1].alive = 1;
    set_player_name_source(chat_names);
    cast_spell(g, SPELL_INVISIBILITY, 5, 5, caster);
    EXPECT_STREQ(caster.message, "\x1b[90mYou fade into the shadows (invisible for 400 turns)\x1b[0m");
    Player& second = g.others[1];
    second.mana = 50;
    learn(second, SPELL_INVISIBILITY, "Invisibility", 35, 0);
    cast_spell(g, SPELL_INVISIBILITY, 5, 5, second);
    EXPECT_STREQ(second.message, "\x1b[90mann is now invisible for 400 turns!\x1b[0m");
    cast_spell(g, SPELL_INVISIBILITY, 6, 5, caster);  // the source knows no name for 2
    set_player_name_source(nullptr);
    EXPECT_STREQ(caster.message, "\x1b[90m is now invisible for 400 turns!\x1b[0m");
    EXPECT_EQ(caster.mana, 60);
}

TEST(Flight, MissesCostNothingAndHitsTellBothPlayers)
{
    Game& g = fresh();
    Player& p = wizard(g);
    Player& mate = other(g, 12, 10);
    auto before = std::make_unique<Game>(g);
    cast_spell(g, SPELL_FLIGHT, 30, 3, p);
    EXPECT_STREQ(p.message, "\x1b[31mFlight must target an ally (including yourself).\x1b[0m");
    EXPECT_TRUE(unchanged_but_messages(*before, g));
    cast_spell(g, SPELL_FLIGHT, 12, 10, p);
    EXPECT_EQ(mate.flying_turns, 420);
    EXPECT_STREQ(mate.message, "\x1b[97mYou soar into the air! Flight for 420 turns.\x1b[0m");
    EXPECT_STREQ(p.message, "\x1b[97mYou grant flight to your ally.\x1b[0m");
    EXPECT_EQ(p.mana, 110);
    EXPECT_EQ(g.turn, 1);
}

TEST(Casting, FindPlayerAtSkipsTheDeadAndHoldsToTheSlots)
{
    Game& g = fresh();
    other(g, 10, 10);
    EXPECT_EQ(find_player_at(g, 10, 10), 0);
    g.player.alive = 0;
    EXPECT_EQ(find_player_at(g, 10, 10), 1);
    g.other_count = 99;
    g.others[2] = g.others[0];
    g.others[0].alive = 0;
    EXPECT_EQ(find_player_at(g, 10, 10), 3);
    EXPECT_EQ(find_player_at(g, -1, 99), -1);
}

}  // namespace
