#include "rules/scene.hpp"
#include "rules/spells.hpp"

namespace {
using namespace scene;

Player& caster(Game& g, int player_class, int mana)
{
    Player& p = g.player;
    p.player_class = player_class;
    p.mana = mana;
    learn(p, SPELL_FIREBALL, "Fireball", 20, 25);
    learn(p, SPELL_HEAL, "Heal", 15, 20);
    learn(p, SPELL_ANIMATE_DEAD, "Animate Dead", 30);
    learn(p, SPELL_POSSESS_ENEMY, "Possess Enemy", 25);
    learn(p, SPELL_FLIGHT, "Flight", 40);
    return p;
}

TEST(SpellMenu, KeysAimCastOrRefuseAndHealIsAimedOnlyByWizards)
{
    Game& g = fresh();
    Player& p = caster(g, CLASS_NECROMANCER, 39);
    p.choosing_spell = 1;
    p.spell_count = 99;  // damaged: held to the list
    p.spells[4].id = 9;  // no such spell: costs nothing, does nothing
    auto before = snapshot(g);
    for (char key : {'9', 'x'})
        choose_spell(g, key, p);
    cast_spell(g, 9, 10, 10, p);
    EXPECT_TRUE(same(*before, g));
    p.spells[4].id = SPELL_FLIGHT;
    choose_spell(g, '5', p);
    EXPECT_STREQ(p.message, "\x1b[31mNot enough mana!\x1b[0m");
    cast_spell(g, SPELL_FLIGHT, 10, 10, p);
    EXPECT_STREQ(p.message, "\x1b[31mNot enough mana for Flight.\x1b[0m");
    p.hp = 5;
    choose_spell(g, '2', p);  // a Necromancer's Heal goes off at once on the caster
    EXPECT_EQ(p.hp * 100 + p.aiming * 10 + g.turn + p.choosing_spell, 2501);
    EXPECT_STREQ(p.message, "\x1b[92mYou heal yourself for 20 HP.\x1b[0m");
    p.player_class = CLASS_WIZARD;
    choose_spell(g, '2', p);
    EXPECT_EQ(p.aiming * 10 + p.selected_spell + p.choosing_spell * 100, 10 + SPELL_HEAL);
    EXPECT_STREQ(p.message, "\x1b[91mAiming Heal \xe2\x80\x93 use numpad, 'c' to cast, space/ESC to cancel\x1b[0m");
    for (char key : {'\x1b', ' ', '0', 'q', 'c'}) {
        p.choosing_spell = 1;
        choose_spell(g, key, p);
        EXPECT_EQ(p.choosing_spell + p.message[0], 0);
    }
}

TEST(Fireball, DamageIsTheDrawPlusPowerLessDefenseAtLeastOneAndAlliesAreSpared)
{
    Game& g = fresh();
    Player& p = caster(g, CLASS_WIZARD, 0);
    Monster& tough = monster(g, 20, 10, 1000, 7, 30);
    for (unsigned seed = 0; seed < 50; ++seed) {
        std::srand(seed);
        p.mana = 20;
        cast_spell(g, SPELL_FIREBALL, 20, 10, p);
    }
    EXPECT_GE(tough.hp, 1000 - 50 * 4);  // 25 power against defense 30: 1 to 4 a cast
    EXPECT_LE(tough.hp, 1000 - 50 * 1);
    Monster& m = monster(g, 21, 10, 100, 7, 2, 13);
    p.mana = 60;
    int r = draw(77, 10);
    cast_spell(g, SPELL_FIREBALL, 21, 10, p);
    EXPECT_EQ(m.hp, 100 - (r + 25 - 2));
    m.hp = 1;
    cast_spell(g, SPELL_FIREBALL, 21, 10, p);
    EXPECT_EQ(m.alive * 100 + p.gold + g.corpse_count * 1000, 1013);
    Monster& friendly = ally(g, 22, 10);
    cast_spell(g, SPELL_FIREBALL, 22, 10, p);
    EXPECT_STREQ(p.message, "\x1b[33mFireball fizzles harmlessly.\x1b[0m");
    EXPECT_EQ(friendly.hp * 100 + p.mana, 2500);
    EXPECT_EQ(g.turn, 53);
}

TEST(Heal, TargetsPlayersFirstThenAlliesAndRefundsWhenNobodyIsThere)
{
    Game& g = fresh();
    Player& healer = other(g, 5, 5);
    healer.mana = 100;
    learn(healer, SPELL_HEAL, "Heal", 15, 20);
    other(g, 6, 5);
    g.player.alive = 0;  // the leader is healed by position alone
    g.player.hp = 1;
    cast_spell(g, SPELL_HEAL, 10, 10, healer);
    EXPECT_STREQ(healer.message, "\x1b[92mYou heal the leader for 20 HP.\x1b[0m");
    cast_spell(g, SPELL_HEAL, 6, 5, healer);  // full health: still paid, full power reported
    EXPECT_STREQ(healer.message, "\x1b[92mYou heal your teammate for 20 HP.\x1b[0m");
    Monster& hostile = monster(g, 7, 5, 25);
    hostile.hp = 1;
    Monster& friendly = ally(g, 7, 5, 25);
    friendly.hp = 10;
    cast_spell(g, SPELL_HEAL, 7, 5, healer);
    EXPECT_EQ(g.player.hp * 10000 + hostile.hp * 100 + friendly.hp, 210125);
    cast_spell(g, SPELL_HEAL, 30, 15, healer);
    EXPECT_STREQ(healer.message, "\x1b[33mNothing to heal there.\x1b[0m");
    EXPECT_EQ(healer.mana * 10 + g.turn, 554);
}

TEST(AnimateDead, RaisesTheFirstCorpseIntoTheFirstDeadSlot)
{
    Game& g = fresh();
    Player& p = caster(g, CLASS_NECROMANCER, 120);
    monster(g, 1, 1);
    monster(g, 2, 2, 25, 7, 2, 40).alive = 0;
    monster(g, 3, 3);
    add_corpse(g, 20, 10, -3, 45, 9, 4);
    add_corpse(g, 21, 10, 0, 30, 7, 2);
    add_corpse(g, 20, 10, 0, 50, 8, 3);
    cast_spell(g, SPELL_ANIMATE_DEAD, 20, 10, p);
    const Monster& z = g.monsters[1];
    EXPECT_EQ(z.alive + z.is_ally + z.gold, 2);
    EXPECT_EQ(z.glyph, 'z');
    EXPECT_EQ(z.hp * 100 + z.max_hp, 2245);
    EXPECT_EQ(z.ally_turns * 10 + z.ally_mode, 2000 + ALLY_FOLLOW);
    EXPECT_EQ(g.monster_count * 10 + g.corpse_count, 32);
    EXPECT_EQ(g.corpses[0].max_hp, 50);  // the last corpse took the freed place
    cast_spell(g, SPELL_ANIMATE_DEAD, 21, 10, p);
    EXPECT_EQ(g.monster_count * 100 + g.monsters[3].max_hp, 430);
    g.monster_count = MAX_MONSTERS;
    cast_spell(g, SPELL_ANIMATE_DEAD, 20, 10, p);
    EXPECT_STREQ(p.message, "\x1b[33mNo corpse to animate at that location.\x1b[0m");
    EXPECT_EQ(g.corpse_count * 100 + p.mana * 10 + g.turn, 403);  // every try is paid for
}

TEST(PossessEnemy, TurnsAHostileIntoAFollowerAndRefusesAllies)
{
    Game& g = fresh();
    Player& p = caster(g, CLASS_NECROMANCER, 50);
    Monster& m = monster(g, 20, 10, 33, 11, 4);
    cast_spell(g, SPELL_POSSESS_ENEMY, 20, 10, p);
    EXPECT_EQ(m.is_ally * 10000 + m.ally_turns * 10 + m.ally_mode, 12001);
    cast_spell(g, SPELL_POSSESS_ENEMY, 20, 10, p);
    EXPECT_STREQ(p.message, "\x1b[33mNo hostile enemy to control at that location.\x1b[0m");
    EXPECT_EQ(p.mana * 10 + g.turn, 2);
}

const char* chat_names(int number) { return number == 1 ? "ann" : nullptr; }

TEST(Invisibility, SpendsOnAMissWithoutATurnAndNamesTheTarget)
{
    Game& g = fresh();
    Player& one = other(g, 5, 5);
    Player& two = other(g, 6, 5);
    for (Player* p : {&one, &two}) {
        p->mana = 200;
        learn(*p, SPELL_INVISIBILITY, "Invisibility", 35);
    }
    two.alive = 0;
    cast_spell(g, SPELL_INVISIBILITY, 6, 5, one);  // a dead player is no target
    EXPECT_STREQ(one.message, "\x1b[31mNo player at that location.\x1b[0m");
    EXPECT_EQ(one.mana * 10 + g.turn, 1650);
    two.alive = 1;
    cast_spell(g, SPELL_INVISIBILITY, 10, 10, two);
    EXPECT_STREQ(two.message, "\x1b[90mYou is now invisible for 400 turns!\x1b[0m");
    EXPECT_STREQ(g.player.color, "\x1b[90m");
    cast_spell(g, SPELL_INVISIBILITY, 5, 5, one);
    EXPECT_STREQ(one.message, "\x1b[90mYou fade into the shadows (invisible for 400 turns)\x1b[0m");
    set_player_name_source(chat_names);
    cast_spell(g, SPELL_INVISIBILITY, 5, 5, two);
    EXPECT_STREQ(two.message, "\x1b[90mann is now invisible for 400 turns!\x1b[0m");
    set_player_name_source(nullptr);
    EXPECT_EQ(g.player.invisible_turns + g.turn, 403);
}

TEST(Flight, MissesCostNothingAndHitsTellBothPlayers)
{
    Game& g = fresh();
    Player& p = caster(g, CLASS_WIZARD, 150);
    Player& mate = other(g, 12, 10);
    auto before = snapshot(g);
    cast_spell(g, SPELL_FLIGHT, 30, 3, p);
    EXPECT_STREQ(p.message, "\x1b[31mFlight must target an ally (including yourself).\x1b[0m");
    EXPECT_TRUE(unchanged_but_messages(*before, g));
    cast_spell(g, SPELL_FLIGHT, 12, 10, p);
    EXPECT_STREQ(mate.message, "\x1b[97mYou soar into the air! Flight for 420 turns.\x1b[0m");
    EXPECT_STREQ(p.message, "\x1b[97mYou grant flight to your ally.\x1b[0m");
    EXPECT_EQ(mate.flying_turns * 10000 + p.mana * 10 + g.turn, 4201101);
}

}  // namespace
