#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "rules/allies.hpp"
#include "rules/combat.hpp"
#include "rules/monsters.hpp"
#include "rules/movement.hpp"
#include "rules/projectiles.hpp"
#include "rules/spells.hpp"
#include "rules/wizard.hpp"
#include "world/away_double.hpp"
#include "world/dungeon.hpp"
#include "world/effects.hpp"
#include "world/items.hpp"

namespace {
using std::tuple;

// All floor; player 0 alive at (10, 10) with 30 hp, attack 5, defense 2.
Game& reset(Game& g)
{
    free_player_items(g);
    std::memset(&g, 0, sizeof g);
    for (auto& column : g.map)
        for (Cell& c : column)
            c = Cell {'.', {}, 0, 0, 0, {}, TERRAIN_FLOOR};
    g.controlled_ally = g.ally_controller = -1;
    g.player.x = g.player.y = 10;
    g.player.alive = 1;
    g.player.attack = 5;
    g.player.hp = g.player.max_hp = 30;
    g.player.defense = 2;
    return g;
}
Game& fresh()
{
    static Game g {};
    return reset(g);
}

void wall(Game& g, int x, int y) { g.map[x][y] = Cell {'#', {}, 1, 0, 0, {}, TERRAIN_WALL}; }
void water(Game& g, int x, int y) { g.map[x][y] = Cell {'~', {}, 1, 0, 0, {}, TERRAIN_WATER}; }

Monster& monster(Game& g, int x, int y, int hp = 25, int attack = 7, int defense = 2, int gold = 7)
{
    return g.monsters[g.monster_count++] = Monster {x, y, 'o', {}, hp, hp, attack, defense, gold, 0, 0, 1, "\x1b[92m", 0, 0, 0};
}

Monster& ally(Game& g, int x, int y, int hp = 25, int attack = 7)
{
    return g.monsters[g.monster_count++] = Monster {x, y, 'o', {}, hp, hp, attack, 2, 0, 0, 0, 1, "\x1b[92m", 1, 200, ALLY_FOLLOW};
}

Player& other(Game& g, int x, int y)
{
    Player& o = g.others[g.other_count++];
    o.x = x;
    o.y = y;
    o.alive = 1;
    o.hp = o.max_hp = 30;
    return o;
}

Item* give(Player& p, int kind, int quantity = 1, int value = 0)
{
    Item*& slot = *std::find(std::begin(p.inventory), std::end(p.inventory), nullptr);
    slot = create_item(kind);
    slot->quantity = quantity;
    slot->value = value;
    return slot;
}

void learn(Player& p, int id, const char* name, int cost, int power = 0)
{
    copy_text((p.spells[p.spell_count++] = Spell {id, {}, cost, power, "\x1b[91m"}).name, name);
}

std::unique_ptr<Game> snapshot(const Game& g) { return std::make_unique<Game>(g); }
bool same(const Game& before, const Game& after) { return std::memcmp(&before, &after, sizeof after) == 0; }

bool unchanged_but_messages(const Game& before, const Game& after)
{
    auto expected = snapshot(before);
    std::memcpy(expected->player.message, after.player.message, MESSAGE_LEN);
    for (int k = 0; k < MAX_OTHERS; ++k)
        std::memcpy(expected->others[k].message, after.others[k].message, MESSAGE_LEN);
    return same(*expected, after);
}

// The random part of the next blow: srand(seed), then the first rand() % spread.
int draw(unsigned seed, int spread)
{
    std::srand(seed);
    int r = std::rand() % spread;
    return std::srand(seed), r;
}

TEST(Movement, RefusalsWaterJumpsBumpsSwapsAndRemotePlayers)
{
    Game& g = fresh();
    wall(g, 11, 10);
    water(g, 9, 10);
    const char* edge = "\x1b[33mYou can't go there.\x1b[0m";
    struct Case { int x, y, dx, dy; const char* message; };
    for (const Case& c : {Case {0, 5, -1, 0, edge}, Case {5, 19, 0, 1, edge}, Case {INT_MAX, 10, 1, 0, edge},
                          Case {10, 10, 1, 0, "\x1b[33mYou hit a wall.\x1b[0m"},
                          Case {10, 10, -1, 0, "\x1b[33mYou need a canoe to cross the water!\x1b[0m"}}) {
        g.player.x = c.x;
        g.player.y = c.y;
        auto before = snapshot(g);
        move_player(g, c.dx, c.dy, g.player);
        EXPECT_STREQ(g.player.message, c.message);
        EXPECT_TRUE(unchanged_but_messages(*before, g));
    }
    fresh();  // water takes a carried canoe or flight; long offsets jump
    water(g, 11, 10);
    water(g, 12, 10);
    wall(g, 14, 10);
    give(g.player, ITEM_FOOD);
    give(g.player, ITEM_CANOE);  // carried, not equipped
    for (int dx : {1, 1, 5})  // the last one jumps the wall
        move_player(g, dx, 0, g.player);
    EXPECT_EQ(tuple(g.player.x, g.turn), tuple(17, 3));
    EXPECT_STREQ(g.player.message, "You move.");
    g.player.inventory[1]->kind = ITEM_FOOD;
    g.player.flying_turns = 1;
    g.player.x = 10;
    move_player(g, 1, 0, g.player);
    EXPECT_EQ(g.player.x, 11);
    fresh();  // bumps attack the lower slot; the leader swaps with allies
    Monster& first = monster(g, 11, 10, 100);
    Monster& second = monster(g, 11, 10, 100);
    move_player(g, 1, 0, g.player);
    EXPECT_TRUE(g.player.x == 10 && first.hp < second.hp);
    Monster& a = ally(g, 10, 11);
    move_player(g, 0, 1, g.player);
    EXPECT_STREQ(g.player.message, "\x1b[95mYou swap positions with your ally.\x1b[0m");
    EXPECT_EQ(tuple(g.player.y, a.y, g.map[10][12].visible, g.turn), tuple(11, 10, 1, 2));  // seen from the new cell
    fresh();  // remote players move silently; bad numbers do nothing
    Player& o = other(g, 20, 10);
    Monster& mate = ally(g, 21, 10);
    move_remote_player(g, 0, 1, 0);
    EXPECT_EQ(tuple(o.x, mate.x, o.message[0], g.turn), tuple(21, 21, '\0', 1));
    wall(g, 21, 9);
    o.auto_follow = 1;
    o.follow_target = 7;
    auto before = snapshot(g);
    move_remote_player(g, 0, 0, -1);  // wall: silent, no turn
    for (int n : {-1, 1, 3, 99, INT_MIN}) {
        move_remote_player(g, n, 1, 0);
        follow_step(g, n);
    }
    o.alive = 0;
    move_remote_player(g, 0, 1, 0);
    o.alive = 1;
    EXPECT_TRUE(same(*before, g));
}

TEST(Melee, BlowsKillsCorpsesAndDefeat)
{
    Game& g = fresh();
    g.player.weapon = give(g.player, ITEM_SWORD, 1, 4);
    g.player.armor = give(g.player, ITEM_LEATHER_ARMOR, 1, 3);
    Monster& m = monster(g, 11, 10, 100, 12, 3);
    int dealt = draw(42, 5) + 5 + 4 - 3;
    player_attack(g, g.player, m);
    EXPECT_EQ(std::string(g.player.message), "\x1b[91mYou hit the o for " + std::to_string(dealt) + " damage!\x1b[0m");
    int taken = draw(5, 3) + 12 - 2 - 3;
    monster_attack(g, m, g.player);
    EXPECT_EQ(tuple(m.hp, g.player.hp), tuple(100 - dealt, 30 - taken));
    EXPECT_EQ(std::string(g.player.message), "\x1b[31mThe o attacks you for " + std::to_string(taken) + " damage!\x1b[0m");
    m.defense = 19;  // ten above the attack: every blow is the floor of 1
    g.player.defense = 50;
    player_attack(g, g.player, m);
    monster_attack(g, m, g.player);
    EXPECT_EQ(tuple(m.hp, g.player.hp), tuple(99 - dealt, 29 - taken));
    fresh();
    Monster& exact = monster(g, 11, 10, draw(3, 5) + 5 - 2, 7, 2, 9);  // dies at exactly 0
    player_attack(g, g.player, exact);
    EXPECT_EQ(tuple(exact.alive, g.player.gold), tuple(0, 9));
    EXPECT_STREQ(g.player.message, "\x1b[92mYou defeated the o! You gain 9 gold.\x1b[0m");
    player_attack(g, g.player, monster(g, 12, 10, 1));
    EXPECT_EQ(tuple(g.corpse_count, g.corpses[0].hp, g.corpses[1].hp < 0, g.monster_count), tuple(2, 0, true, 2));
    g.corpse_count = MAX_CORPSES;
    Monster& eleventh = monster(g, 13, 10, 1, 7, 2, 5);
    player_attack(g, g.player, eleventh);
    EXPECT_EQ(tuple(eleventh.alive, g.player.gold, g.corpse_count), tuple(0, 21, MAX_CORPSES));
    g.player.hp = 3;
    monster_attack(g, monster(g, 11, 10, 25, 20), g.player);
    EXPECT_EQ(tuple(g.player.hp, g.player.alive), tuple(0, 0));
    EXPECT_STREQ(g.player.message, "\x1b[91mYou have been defeated by the o! Press 'q' to quit.\x1b[0m");
}

// Regression: a loaded turn or attack at INT_MAX overflowed on the next bump.
TEST(Melee, NumbersAtTheInt32LimitsSaturateOnABump)
{
    Game& g = fresh();
    g.turn = g.player.attack = g.player.gold = INT_MAX;
    g.player.weapon = give(g.player, ITEM_SWORD, 1, 10);
    Monster& m = monster(g, 11, 10, 1000, 7, 0, 7);
    move_player(g, 1, 0, g.player);
    EXPECT_EQ(tuple(m.alive, g.player.gold, g.turn), tuple(0, INT_MAX, INT_MAX));
}

TEST(Hunting, TiesGoToTheLowerPlayerNumberInvisiblePlayersAreIgnoredAndBlockedStepsStay)
{
    Game& g = fresh();
    Player& left = other(g, 6, 10);
    g.player.y = 14;
    Monster& m = monster(g, 10, 10);  // 4 from players 0 and 1
    monsters_turn(g);
    EXPECT_EQ(m.y, 11);
    m.y = 10;
    g.player.invisible_turns = 5;
    monsters_turn(g);
    EXPECT_EQ(m.x, 9);
    left.invisible_turns = 1;
    g.player.y = 11;  // invisible and adjacent: neither struck nor approached
    m.x = 10;
    monsters_turn(g);
    EXPECT_EQ(tuple(m.x, m.y, g.player.hp), tuple(10, 10, 30));
    fresh();
    Monster& striker = monster(g, 11, 11, 25, 10);
    Monster& stuck = monster(g, 13, 13);
    wall(g, 12, 12);  // a straight step would get closer: there is no second choice
    Monster& behind = monster(g, 13, 10);
    ally(g, 12, 10);  // a living monster blocks, allies included
    monsters_turn(g);
    EXPECT_EQ(tuple(striker.x, stuck.x, stuck.y, behind.x), tuple(11, 13, 13, 13));
    EXPECT_LE(g.player.hp, 30 - 8);
    fresh();  // damaged counts and positions never leave the arrays
    monster(g, INT_MAX, INT_MIN);
    g.player.x = INT_MIN;
    g.player.y = INT_MAX;
    g.monster_count = 1000;
    monsters_turn(g);
    EXPECT_EQ(g.monsters[0].x, INT_MAX);
    g.monster_count = -3;
    auto before = snapshot(g);
    monsters_turn(g);
    EXPECT_TRUE(same(*before, g));
}

TEST(Allies, RevertOnThe200thTurnAndWithTheLastNecromancerAndFollowTheirMode)
{
    Game& g = fresh();
    g.player.player_class = CLASS_NECROMANCER;
    Monster& a = ally(g, 11, 10, 25, 20);
    for (int t = 0; t < 199; ++t)
        monsters_turn(g);
    EXPECT_EQ(a.is_ally, 1);
    monsters_turn(g);
    EXPECT_EQ(tuple(a.is_ally, g.player.hp), tuple(0, 30));  // reverting was its whole turn
    EXPECT_STREQ(a.color, "\x1b[31m");
    monsters_turn(g);
    EXPECT_LT(g.player.hp, 30);
    fresh();
    Player& necro = other(g, 20, 10);
    necro.player_class = CLASS_NECROMANCER;
    Monster& b = ally(g, 30, 10);
    ally(g, 31, 10).ally_turns = -4;  // damaged: loyalty already gone
    monsters_turn(g);
    EXPECT_EQ(tuple(b.x, g.monsters[1].is_ally), tuple(29, 0));  // follows the Necromancer among the others
    necro.alive = 0;
    monsters_turn(g);
    EXPECT_EQ(tuple(b.x, b.is_ally), tuple(29, 0));
    fresh();  // Attack mode moves and strikes in one turn
    g.player.player_class = CLASS_NECROMANCER;
    g.player.invisible_turns = 9;  // hostiles stand still
    Monster& attacker = ally(g, 30, 10, 25, 9);
    attacker.ally_mode = ALLY_ATTACK;
    Monster& target = monster(g, 32, 10, 100);
    int r = draw(11, 4);
    monsters_turn(g);
    EXPECT_EQ(tuple(attacker.x, target.hp), tuple(31, 100 - (r + 9 - 2)));
    target.hp = 1;
    monsters_turn(g);  // adjacent: strikes without moving, pays nobody
    EXPECT_EQ(tuple(attacker.x, target.alive, g.player.gold, g.player.message[0], g.corpse_count), tuple(31, 0, 0, '\0', 1));
    attacker.x = 20;
    attacker.y = 10;
    ally(g, 30, 10).ally_mode = ALLY_MANUAL;
    ally(g, 13, 10);                       // exactly 3.0 from the leader
    Monster& far = monster(g, 20, 15);     // exactly 5.0 from the attacker: out of range
    Monster& beside = monster(g, 14, 10);  // a following ally never strikes
    monster(g, 20, 5);                     // as far as `far`, in a higher slot
    monsters_turn(g);
    EXPECT_EQ(tuple(attacker.x, g.monsters[2].x, g.monsters[3].x, far.hp + beside.hp), tuple(19, 30, 13, 50));
    EXPECT_EQ(nearest_hostile_monster(g, 20, 10), &far);  // a tie: the lower slot
}

TEST(Steering, AStepIntoAHostileIsASilentBlowAndWallsOrBadSlotsStopAnAlly)
{
    Game& g = fresh();
    Monster& a = ally(g, 20, 10, 25, 9);
    Monster& m = monster(g, 21, 10, 100);
    Monster& b = ally(g, 20, 11);
    int r = draw(8, 5);
    move_ally(g, 0, 1, 0);
    EXPECT_EQ(tuple(a.x, m.hp, g.turn, g.player.message[0]), tuple(20, 100 - (r + 9 - 2), 0, '\0'));
    move_ally(g, 0, 0, 1);  // allies share cells
    EXPECT_EQ(tuple(a.y, b.y), tuple(11, 11));
    a.x = 0;
    a.y = 10;
    wall(g, 1, 10);
    water(g, 0, 11);
    auto before = snapshot(g);
    for (auto [slot, dx, dy] : {tuple {0, -1, 0}, {0, 1, 0}, {0, 0, 1}, {-1, 0, -1}, {3, 0, -1}, {60, 0, -1}, {99, 0, -1}})
        move_ally(g, slot, dx, dy);
    EXPECT_TRUE(same(*before, g));
}

TEST(Steering, NextAllyAndMenuCommandsSurviveDamagedState)
{
    Game& g = fresh();
    ally(g, 20, 10);
    monster(g, 25, 10);
    Monster& b = ally(g, 30, 12);
    g.controlled_ally = 0;
    select_next_ally(g, g.player);
    EXPECT_EQ(tuple(g.controlled_ally, g.player.cursor_x, b.ally_mode), tuple(2, 30, int(ALLY_MANUAL)));
    EXPECT_STREQ(g.player.message, "\x1b[95mNow controlling ally 3/3: Use numpad to move, 'p' for next ally, "
                                   "'m' to confirm, space to cancel.\x1b[0m");
    b.alive = 0;
    g.controlled_ally = 99;  // names no slot: the search starts at slot 0
    select_next_ally(g, g.player);
    select_next_ally(g, g.player);  // a single ally is chosen again
    EXPECT_EQ(g.controlled_ally, 0);
    g.monster_count = 0;  // would divide by zero
    select_next_ally(g, g.player);
    EXPECT_STREQ(g.player.message, "No other allies available to control.");
    fresh();  // ally commands reach living allies only; manual control ends in place
    Player& o = other(g, 3, 3);
    Monster& dead = ally(g, 5, 5);
    dead.alive = 0;
    Monster& live = ally(g, 6, 5);
    Monster& hostile = monster(g, 7, 5);
    g.monster_count = 1000;  // held to the table
    EXPECT_EQ(count_living_allies(g), 1);
    open_ally_menu(g, g.player);
    ally_menu_key(g, g.player, 0, '2');
    EXPECT_EQ(tuple(live.ally_mode, dead.ally_mode, hostile.ally_mode), tuple(2, 1, 0));
    EXPECT_STREQ(g.player.message, "\x1b[92mAll allies set to Attack mode.\x1b[0m");
    g.ally_menu = 1;
    ally_menu_key(g, o, 1, '3');  // manual control starts on the first living ally
    manual_ally_key(g, o, '3');
    EXPECT_EQ(tuple(g.controlled_ally, g.ally_controller, live.ally_mode, live.x, live.y), tuple(1, 1, 3, 7, 6));
    g.controlled_ally = 99;
    g.ally_control_mode = ALLY_MANUAL;
    manual_ally_key(g, o, '6');  // no slot 99: nothing moves
    manual_ally_key(g, o, ' ');
    EXPECT_EQ(tuple(live.x, g.controlled_ally), tuple(7, -1));
    EXPECT_STREQ(o.message, "Manual control canceled.");
}

TEST(Projectiles, FiringAndFlight)
{
    Game& g = fresh();
    Player& p = g.player;
    auto refused = [&](const char* message) {
        auto before = snapshot(g);
        fire_projectile(g, 1, 0, p);
        EXPECT_STREQ(p.message, message);
        EXPECT_TRUE(unchanged_but_messages(*before, g));
    };
    p.weapon = give(p, ITEM_SWORD);
    refused("\x1b[31mYou need to equip a Bow or Slingshot to fire a projectile.\x1b[0m");
    p.weapon = give(p, ITEM_BOW);
    Item* empty = give(p, ITEM_ARROWS, 0);  // only the first stack counts
    give(p, ITEM_ARROWS, 20);
    refused("\x1b[31mYou are out of Arrows.\x1b[0m");
    empty->quantity = 20;
    for (Projectile& shot : g.projectiles)
        shot.active = 1;
    refused("\x1b[31mToo many projectiles already active!\x1b[0m");
    fresh();
    p.weapon = give(p, ITEM_SLINGSHOT, 1, 3);
    give(p, ITEM_STONES, 1);
    Item* spare = give(p, ITEM_STONES, 5);
    g.projectiles[0].active = 1;
    fire_projectile(g, 5, -1, p);
    const Projectile& s = g.projectiles[1];
    EXPECT_EQ(tuple(s.dx, s.dy, s.x, s.y, s.glyph, s.damage), tuple(1, -1, 10, 10, '^', 18));
    EXPECT_EQ(tuple(p.inventory[1], g.turn), tuple(nullptr, 1));  // the last stone frees its slot
    fire_projectile(g, 0, INT_MIN, p);
    EXPECT_EQ(tuple(spare->quantity, g.projectiles[2].dy), tuple(4, -1));
    fresh();  // shots pass friends, stop at walls and edges, hit without a random part
    Player& o = other(g, 21, 10);
    ally(g, 22, 10);
    wall(g, 24, 10);
    g.projectiles[0] = Projectile {20, 10, 1, 0, '-', {}, 20, 1, {}};
    g.projectiles[1] = Projectile {59, 3, 1, 0, '-', {}, 20, 1, {}};
    g.projectiles[2] = Projectile {5, 5, INT_MAX, INT_MIN, '-', {}, 20, 1, {}};  // damaged
    for (int t = 0; t < 3; ++t)
        update_projectiles(g);
    EXPECT_EQ(tuple(g.projectiles[0].x, g.projectiles[1].active, g.projectiles[2].active), tuple(23, 0, 0));
    update_projectiles(g);
    EXPECT_EQ(tuple(g.projectiles[0].x, g.projectiles[0].active, o.hp), tuple(23, 0, 30));
    o.x = 30;
    Monster& m = monster(g, 31, 10, 25, 7, 6, 11);
    for (int shot = 0; shot < 2; ++shot)
        g.projectiles[shot] = Projectile {30, 10, 1, 0, '-', {}, 10 + 15, 1, {}};
    update_projectiles(g);  // 19 each; player 0 is paid
    EXPECT_EQ(tuple(m.alive, g.player.gold, o.gold, g.corpse_count, g.corpses[0].hp, g.projectiles[1].active),
              tuple(0, 11, 0, 1, -13, 0));
    EXPECT_STREQ(g.player.message, "\x1b[91mProjectile kills the o!\x1b[0m");
    fresh();  // a (0, 0) shot keeps its slot until a hostile stands on it
    g.player.weapon = give(g.player, ITEM_BOW);
    give(g.player, ITEM_ARROWS, 3);
    fire_projectile(g, 0, 0, g.player);
    update_projectiles(g);
    update_projectiles(g);
    EXPECT_EQ(tuple(g.projectiles[0].active, g.projectiles[0].x), tuple(1, 10));
    Monster& still = monster(g, 10, 10, 100, 7, 5);
    update_projectiles(g);
    EXPECT_EQ(tuple(still.hp, g.projectiles[0].active), tuple(90, 0));
    EXPECT_STREQ(g.player.message, "\x1b[94mProjectile hits the o for 10 damage!\x1b[0m");
}

Player& caster(Game& g, int player_class, int mana)
{
    g.player.player_class = player_class;
    g.player.mana = mana;
    for (auto [id, name, cost, power] : {tuple {SPELL_FIREBALL, "Fireball", 20, 25}, {SPELL_HEAL, "Heal", 15, 20},
                                         {SPELL_ANIMATE_DEAD, "Animate Dead", 30, 0},
                                         {SPELL_POSSESS_ENEMY, "Possess Enemy", 25, 0}, {SPELL_FLIGHT, "Flight", 40, 0}})
        learn(g.player, id, name, cost, power);
    return g.player;
}

TEST(SpellMenu, KeysCastOrRefuseAndFlightRefunds)
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
    p.hp = 5;
    choose_spell(g, '2', p);  // a Necromancer's Heal goes off at once on the caster
    EXPECT_EQ(tuple(p.hp, p.aiming, g.turn, p.choosing_spell), tuple(25, 0, 1, 0));
    EXPECT_STREQ(p.message, "\x1b[92mYou heal yourself for 20 HP.\x1b[0m");
    p.mana = 150;  // Flight: a miss costs nothing; a hit tells both players
    Player& mate = other(g, 12, 10);
    before = snapshot(g);
    cast_spell(g, SPELL_FLIGHT, 30, 3, p);
    EXPECT_STREQ(p.message, "\x1b[31mFlight must target an ally (including yourself).\x1b[0m");
    EXPECT_TRUE(unchanged_but_messages(*before, g));
    cast_spell(g, SPELL_FLIGHT, 12, 10, p);
    EXPECT_STREQ(mate.message, "\x1b[97mYou soar into the air! Flight for 420 turns.\x1b[0m");
    EXPECT_STREQ(p.message, "\x1b[97mYou grant flight to your ally.\x1b[0m");
    EXPECT_EQ(tuple(mate.flying_turns, p.mana, g.turn), tuple(420, 110, 2));
}

TEST(Spells, FireballAndPossessHitHostilesOnlyAndHealRefunds)
{
    Game& g = fresh();
    Player& p = caster(g, CLASS_WIZARD, 20);
    Monster& tough = monster(g, 20, 10, 1000, 7, 30);
    unsigned seed = 0;
    while (draw(seed, 10) >= 5)  // power 25 against defense 30: the floor of 1
        ++seed;
    cast_spell(g, SPELL_FIREBALL, 20, 10, p);
    EXPECT_EQ(tough.hp, 999);
    Monster& m = monster(g, 21, 10, 100, 7, 2, 13);
    p.mana = 60;
    int r = draw(77, 10);
    cast_spell(g, SPELL_FIREBALL, 21, 10, p);
    EXPECT_EQ(m.hp, 100 - (r + 25 - 2));
    m.hp = 1;
    cast_spell(g, SPELL_FIREBALL, 21, 10, p);
    EXPECT_EQ(tuple(m.alive, p.gold, g.corpse_count), tuple(0, 13, 1));
    Monster& friendly = ally(g, 22, 10);
    cast_spell(g, SPELL_FIREBALL, 22, 10, p);
    EXPECT_STREQ(p.message, "\x1b[33mFireball fizzles harmlessly.\x1b[0m");
    EXPECT_EQ(tuple(friendly.hp, p.mana, g.turn), tuple(25, 0, 4));
    p.mana = 50;
    cast_spell(g, SPELL_POSSESS_ENEMY, 20, 10, p);
    EXPECT_EQ(tuple(tough.is_ally, tough.ally_turns, tough.ally_mode), tuple(1, 200, int(ALLY_FOLLOW)));
    cast_spell(g, SPELL_POSSESS_ENEMY, 20, 10, p);
    EXPECT_STREQ(p.message, "\x1b[33mNo hostile enemy to control at that location.\x1b[0m");
    EXPECT_EQ(tuple(p.mana, g.turn), tuple(0, 6));
    fresh();  // Heal: players first, then allies; a refund when nobody is there
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
    monster(g, 7, 5).hp = 1;
    ally(g, 7, 5).hp = 10;
    cast_spell(g, SPELL_HEAL, 7, 5, healer);
    EXPECT_EQ(tuple(g.player.hp, g.monsters[0].hp, g.monsters[1].hp), tuple(21, 1, 25));
    cast_spell(g, SPELL_HEAL, 30, 15, healer);
    EXPECT_STREQ(healer.message, "\x1b[33mNothing to heal there.\x1b[0m");
    EXPECT_EQ(tuple(healer.mana, g.turn), tuple(55, 4));
}

TEST(Spells, AnimateDeadFillsTheFirstDeadSlotAndInvisibilityUsesNoTurn)
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
    EXPECT_EQ(tuple(z.alive, z.is_ally, z.gold, z.glyph, z.hp, z.max_hp, z.ally_turns, z.ally_mode),
              tuple(1, 1, 0, 'z', 22, 45, 200, int(ALLY_FOLLOW)));
    EXPECT_EQ(tuple(g.monster_count, g.corpse_count, g.corpses[0].max_hp), tuple(3, 2, 50));  // the last corpse moved up
    cast_spell(g, SPELL_ANIMATE_DEAD, 21, 10, p);
    EXPECT_EQ(tuple(g.monster_count, g.monsters[3].max_hp), tuple(4, 30));
    g.monster_count = MAX_MONSTERS;
    cast_spell(g, SPELL_ANIMATE_DEAD, 20, 10, p);
    EXPECT_STREQ(p.message, "\x1b[33mNo corpse to animate at that location.\x1b[0m");
    EXPECT_EQ(tuple(g.corpse_count, p.mana, g.turn), tuple(1, 30, 3));  // every try is paid for
    fresh();  // Invisibility spends on a miss without a turn
    Player& one = other(g, 5, 5);
    one.mana = 200;
    learn(one, SPELL_INVISIBILITY, "Invisibility", 35);
    cast_spell(g, SPELL_INVISIBILITY, 6, 5, one);
    EXPECT_STREQ(one.message, "\x1b[31mNo player at that location.\x1b[0m");
    EXPECT_EQ(tuple(one.mana, g.turn), tuple(165, 0));
    cast_spell(g, SPELL_INVISIBILITY, 5, 5, one);
    EXPECT_STREQ(one.message, "\x1b[90mYou fade into the shadows (invisible for 400 turns)\x1b[0m");
    cast_spell(g, SPELL_INVISIBILITY, 10, 10, one);
    EXPECT_STREQ(one.message, "\x1b[90mYou is now invisible for 400 turns!\x1b[0m");
    EXPECT_EQ(tuple(g.player.invisible_turns, g.player.color[3], g.turn), tuple(400, '0', 2));
}

TEST(WizardMode, KeysActOnlyWhileOnWrathKillsAlliesWithoutCorpsesAndTeleportNeedsAnOpenCell)
{
    Game& g = fresh();
    auto before = snapshot(g);
    for (char key : {'k', 'h', 'g', 't', 'w', 'x'})
        wizard_command(g, key);
    EXPECT_TRUE(same(*before, g));
    g.player.hp = 3;
    for (char key : {'z', 'h', 'g', 'g', 'w', 't'})
        wizard_command(g, key);
    EXPECT_EQ(tuple(g.player.hp, g.player.gold, g.level, g.player.aiming, g.player.cursor_x, g.turn),
              tuple(30, 2000, 6, 1, 10, 0));
    for (int i = 0; i < 3; ++i)
        monster(g, 20 + i, 5);
    ally(g, 20, 6);
    ally(g, 21, 6);
    monster(g, 22, 6).alive = 0;
    wizard_command(g, 'k');
    EXPECT_STREQ(g.player.message, "\x1b[91mWrath of God: 5 enemies eliminated!\x1b[0m");
    EXPECT_EQ(tuple(g.corpse_count, g.player.gold, g.monsters[3].hp, wrath_of_god(g)), tuple(0, 2000, 0, 0));
    g.wizard_mode = 7;  // damaged flag: still switches off
    wizard_command(g, 'z');
    EXPECT_STREQ(g.player.message, "\x1b[35mWizard Mode disabled.\x1b[0m");
    fresh();
    wall(g, 3, 3);
    water(g, 4, 4);
    before = snapshot(g);
    for (auto [x, y] : {std::pair {3, 3}, {4, 4}, {-1, 5}, {60, 5}, {5, 20}}) {
        wizard_teleport(g, x, y);
        EXPECT_STREQ(g.player.message, "\x1b[31mCannot teleport to that location.\x1b[0m");
        EXPECT_TRUE(unchanged_but_messages(*before, g));
    }
    Monster& m = monster(g, 40, 15);
    wizard_teleport(g, 40, 15);
    EXPECT_EQ(tuple(g.player.x, m.x, g.turn, g.map[41][15].visible, g.map[10][10].visible), tuple(40, 40, 0, 1, 0));
    EXPECT_STREQ(g.player.message, "\x1b[95mTeleported to (40, 15).\x1b[0m");
}

}  // namespace

// A held seat's character (player 1 here) on server_game(): nothing hunts,
// hits, heals or times it, and it holds nobody up.
TEST(AwayPlayers, MonstersShotsSpellsAndTimersPassThemBy)
{
    Game& g = reset(server_game());
    world_test::ScopedAway away({1});
    Player& gone = other(g, 20, 5);
    gone.hp = 10, gone.player_class = CLASS_WIZARD, gone.max_mana = 100;
    Monster& m = monster(g, 21, 5);
    monsters_turn(g);
    EXPECT_EQ(tuple(gone.hp, m.x, m.y), tuple(10, 20, 6));  // it went for player 0 instead
    gone.invisible_turns = gone.flying_turns = 5;
    g.projectiles[0] = Projectile {19, 5, 1, 0, '-', {}, 15, 1, "\x1b[96m"};
    update_projectiles(g);
    EXPECT_EQ(tuple(g.projectiles[0].active, g.projectiles[0].x), tuple(1, 20));
    Player& caster = g.player;
    caster.player_class = CLASS_WIZARD, caster.mana = 50, caster.max_mana = 100;
    learn(caster, SPELL_FIREBALL, "Fireball", 1, 25);
    learn(caster, SPELL_HEAL, "Heal", 1, 20);
    learn(caster, SPELL_INVISIBILITY, "Invisibility", 1);
    const char* answers[] = {"\x1b[33mFireball fizzles harmlessly.\x1b[0m", "\x1b[33mNothing to heal there.\x1b[0m",
                             "\x1b[31mNo player at that location.\x1b[0m"};
    for (int id : {SPELL_FIREBALL, SPELL_HEAL, SPELL_INVISIBILITY}) {
        cast_spell(g, id, 20, 5, caster);
        EXPECT_STREQ(caster.message, answers[id == SPELL_FIREBALL ? 0 : id == SPELL_HEAL ? 1 : 2]);
    }
    EXPECT_EQ(tuple(gone.hp, gone.invisible_turns), tuple(10, 5));
    set_regen_clock(std::time(nullptr) - 1000);
    update_effects(g);
    EXPECT_EQ(tuple(gone.mana, gone.invisible_turns, gone.flying_turns), tuple(0, 5, 5));
    EXPECT_EQ(caster.mana, 68);  // 50 less two casts, plus 20: player 0 still regenerates
    reset(g);
}

TEST(AwayPlayers, FollowersAlliesAndTheLeadWaitForThem)
{
    Game& g = reset(server_game());
    Player& one = other(g, 30, 10);
    Player& two = other(g, 40, 10);
    one.auto_follow = two.auto_follow = 1, one.follow_target = two.follow_target = 0;
    Monster& a = ally(g, 20, 10);
    {
        world_test::ScopedAway away({1});
        one.player_class = CLASS_NECROMANCER;
        follow_step(g, 1), follow_step(g, 2), move_remote_player(g, 0, 1, 0);
        EXPECT_EQ(tuple(one.x, two.x, g.turn), tuple(30, 39, 0));
        monsters_turn(g);  // its allies keep their loyalty and their place
        EXPECT_EQ(tuple(a.is_ally, a.ally_turns, a.x), tuple(1, 200, 20));
        g.player.player_class = CLASS_NECROMANCER;
        monsters_turn(g);  // a Necromancer in play leads them on
        EXPECT_EQ(tuple(a.ally_turns, a.x), tuple(199, 19));
    }
    {
        world_test::ScopedAway away({0});
        follow_step(g, 2);
        EXPECT_EQ(tuple(two.x, two.auto_follow), tuple(39, 1));  // waits, still following
        g.ally_controller = 2;
        exchange_players(g, 0, 2);
    }
    EXPECT_EQ(tuple(g.player.x, g.player.glyph, g.player.auto_follow, g.player.follow_target), tuple(39, '@', 0, -1));
    EXPECT_EQ(tuple(g.others[1].x, g.others[1].glyph, g.ally_controller), tuple(10, '&', 0));
    reset(g);
}
