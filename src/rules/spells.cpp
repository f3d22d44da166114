#include "rules/spells.hpp"

#include <algorithm>

#include "rules/rule_math.hpp"
#include "world/away.hpp"

namespace {
constexpr int ALLY_LOYALTY = 200;
constexpr int INVISIBILITY_TURNS = 400;
constexpr int FLIGHT_TURNS = 420;

const char* no_names(int) { return ""; }
PlayerNameSource g_name_source = no_names;

// Spell names and colours come from the record; a field that lost its NUL must
// not send the formatting past it.
constexpr int NAME_LEN = SPELL_NAME_LEN;
constexpr int COLOR_FIELD = COLOR_LEN;

// What a cast costs beyond the mana: whether the turn goes, whether the mana comes back.
enum class Turn { USED, USED_REFUND, FREE, FREE_REFUND };

bool aims(const Game& game, const Player& p, int id)
{
    if (id == SPELL_HEAL)
        return game.wizard_mode || p.player_class == CLASS_WIZARD;
    return id >= SPELL_FIREBALL && id <= SPELL_FLIGHT;
}

void pick_spell(Game& game, Player& p, int n)
{
    if (n > spell_limit(p))
        return;
    const Spell& s = p.spells[n - 1];
    if (p.mana < s.mana_cost) {
        set_message(p, "%sNot enough mana!%s", "\x1b[31m", "\x1b[0m");
        return;
    }
    if (!aims(game, p, s.id)) {
        cast_spell(game, s.id, p.x, p.y, p);
        p.choosing_spell = 0;
        return;
    }
    p.selected_spell = s.id;
    p.aiming = 1;
    p.cursor_x = p.x;
    p.cursor_y = p.y;
    p.choosing_spell = 0;
    set_message(p, "%.*sAiming %.*s \xe2\x80\x93 use numpad, 'c' to cast, space/ESC to cancel%s",
                COLOR_FIELD, s.color, NAME_LEN, s.name, "\x1b[0m");
}

Turn fireball(Game& game, Player& p, const Spell& s, int x, int y)
{
    Monster* m = first_monster_at(game, x, y);
    if (!m || m->is_ally) {
        set_message(p, "%sFireball fizzles harmlessly.%s", "\x1b[33m", "\x1b[0m");
        return Turn::USED;
    }
    int damage = blow_damage(roll(10), s.power, m->defense);
    lose_hp(m->hp, damage);
    if (m->hp > 0) {
        set_message(p, "%sFireball hits the %c for %d damage!%s", "\x1b[91m", m->glyph, damage, "\x1b[0m");
        return Turn::USED;
    }
    set_message(p, "%sFireball kills the %c!%s", "\x1b[91m", m->glyph, "\x1b[0m");
    add_clamped(p.gold, m->gold);
    m->alive = 0;
    add_corpse(game, m->x, m->y, m->hp, m->max_hp, m->attack, m->defense);
    return Turn::USED;
}

void restore(std::int32_t& hp, std::int32_t max_hp, int power)
{
    hp = static_cast<std::int32_t>(std::min<long long>(static_cast<long long>(hp) + power, max_hp));
}

// The leader is healed by position alone (alive or not); the others only
// while alive. Spells pass an away player by.
Player* heal_target_player(Game& game, int x, int y)
{
    if (game.player.x == x && game.player.y == y && !player_away(game, 0))
        return &game.player;
    int n = others_limit(game);
    for (int k = 0; k < n; ++k) {
        Player& o = game.others[k];
        if (o.alive && o.x == x && o.y == y && !player_away(game, k + 1))
            return &o;
    }
    return nullptr;
}

Monster* heal_target_ally(Game& game, int x, int y)
{
    int n = monster_limit(game);
    for (int i = 0; i < n; ++i) {
        Monster& m = game.monsters[i];
        if (m.alive && m.is_ally && m.x == x && m.y == y)
            return &m;
    }
    return nullptr;
}

Turn heal(Game& game, Player& p, const Spell& s, int x, int y)
{
    const char* green = "\x1b[92m";
    const char* reset = "\x1b[0m";
    if (Player* t = heal_target_player(game, x, y)) {
        restore(t->hp, t->max_hp, s.power);
        if (t == &p)
            set_message(p, "%sYou heal yourself for %d HP.%s", green, s.power, reset);
        else
            set_message(p, "%sYou heal %s for %d HP.%s", green,
                        t == &game.player ? "the leader" : "your teammate", s.power, reset);
    } else if (Monster* m = heal_target_ally(game, x, y)) {
        restore(m->hp, m->max_hp, s.power);
        set_message(p, "%sYou heal your ally for %d HP.%s", green, s.power, reset);
    } else {
        set_message(p, "%sNothing to heal there.%s", "\x1b[33m", reset);
        return Turn::USED_REFUND;
    }
    return Turn::USED;
}

Monster* first_dead_slot(Game& game)
{
    for (Monster& m : game.monsters) {
        if (!m.alive)
            return &m;
    }
    return nullptr;
}

void raise_from(Monster& m, const Corpse& c)
{
    m.x = c.x;
    m.y = c.y;
    m.glyph = 'z';
    copy_text(m.color, "\x1b[35m");
    m.max_hp = c.max_hp;
    m.hp = c.max_hp / 2;
    m.attack = c.attack;
    m.defense = c.defense;
    // The dead paid their gold once already; the risen pay none.
    m.gold = 0;
    m.reserved1 = 50;
    m.reserved2 = 0;
    m.alive = 1;
    m.is_ally = 1;
    m.ally_turns = ALLY_LOYALTY;
    m.ally_mode = ALLY_FOLLOW;
}

// The last corpse takes the freed place, so the list order is not kept.
void remove_corpse(Game& game, const Corpse& c)
{
    int last = corpse_limit(game) - 1;
    game.corpses[&c - game.corpses] = game.corpses[last];
    game.corpse_count = last;
}

Turn animate_dead(Game& game, Player& p, int x, int y)
{
    Corpse* c = find_corpse_at(game, x, y);
    Monster* m = (c && game.monster_count <= MAX_MONSTERS - 1) ? first_dead_slot(game) : nullptr;
    if (!m) {
        set_message(p, "%sNo corpse to animate at that location.%s", "\x1b[33m", "\x1b[0m");
        return Turn::USED;
    }
    raise_from(*m, *c);
    remove_corpse(game, *c);
    set_message(p, "%sA corpse rises as your new ally!%s", "\x1b[95m", "\x1b[0m");
    int j = static_cast<int>(m - game.monsters);
    if (j >= game.monster_count)
        game.monster_count = j + 1;
    return Turn::USED;
}

Turn possess_enemy(Game& game, Player& p, int x, int y)
{
    Monster* m = first_monster_at(game, x, y);
    if (!m || m->is_ally) {
        set_message(p, "%sNo hostile enemy to control at that location.%s", "\x1b[33m", "\x1b[0m");
        return Turn::USED;
    }
    m->is_ally = 1;
    m->ally_turns = ALLY_LOYALTY;
    copy_text(m->color, "\x1b[95m");
    m->ally_mode = ALLY_FOLLOW;
    set_message(p, "%sYou seize control of the %c!%s", "\x1b[95m", m->glyph, "\x1b[0m");
    return Turn::USED;
}

const char* name_of(int player_number)
{
    if (player_number == 0)
        return "You";
    const char* name = g_name_source(player_number);
    return name ? name : "";
}

Turn invisibility(Game& game, Player& p, int x, int y)
{
    int n = find_player_at(game, x, y);
    Player* t = player_by_number(game, n);
    if (!t) {
        set_message(p, "%sNo player at that location.%s", "\x1b[31m", "\x1b[0m");
        return Turn::FREE;
    }
    t->invisible_turns = INVISIBILITY_TURNS;
    set_message(p, "%s%s is now invisible for %d turns!%s", "\x1b[90m", name_of(n), INVISIBILITY_TURNS,
                "\x1b[0m");
    if (find_player_at(game, p.x, p.y) == n)
        set_message(p, "%sYou fade into the shadows (invisible for %d turns)%s", "\x1b[90m",
                    INVISIBILITY_TURNS, "\x1b[0m");
    copy_text(t->color, "\x1b[90m");
    return Turn::USED;
}

Turn flight(Game& game, Player& p, int x, int y)
{
    Player* t = player_by_number(game, find_player_at(game, x, y));
    if (!t) {
        set_message(p, "%sFlight must target an ally (including yourself).%s", "\x1b[31m", "\x1b[0m");
        return Turn::FREE_REFUND;
    }
    t->flying_turns = FLIGHT_TURNS;
    set_message(*t, "%sYou soar into the air! Flight for %d turns.%s", "\x1b[97m", FLIGHT_TURNS,
                "\x1b[0m");
    if (t != &p)
        set_message(p, "%sYou grant flight to your ally.%s", "\x1b[97m", "\x1b[0m");
    return Turn::USED;
}

Turn apply(Game& game, Player& p, const Spell& s, int x, int y)
{
    switch (s.id) {
    case SPELL_FIREBALL: return fireball(game, p, s, x, y);
    case SPELL_HEAL: return heal(game, p, s, x, y);
    case SPELL_ANIMATE_DEAD: return animate_dead(game, p, x, y);
    case SPELL_POSSESS_ENEMY: return possess_enemy(game, p, x, y);
    case SPELL_INVISIBILITY: return invisibility(game, p, x, y);
    default: return flight(game, p, x, y);
    }
}

const Spell* known_spell(const Player& p, int id)
{
    int n = spell_limit(p);
    for (int i = 0; i < n; ++i) {
        if (p.spells[i].id == id)
            return &p.spells[i];
    }
    return nullptr;
}
}  // namespace

void choose_spell(Game& game, char key, Player& p)
{
    if (key >= '1' && key <= '9') {
        pick_spell(game, p, key - '0');
        return;
    }
    if (key == 27 || key == ' ' || key == '0' || key == 'q' || key == 'c') {
        p.choosing_spell = 0;
        p.message[0] = '\0';
    }
}

void cast_spell(Game& game, int spell_id, int x, int y, Player& p)
{
    // An id outside the six is no spell at all: it costs nothing and does nothing.
    if (spell_id < SPELL_FIREBALL || spell_id > SPELL_FLIGHT)
        return;
    const Spell* s = known_spell(p, spell_id);
    if (!s)
        return;
    if (p.mana < s->mana_cost) {
        set_message(p, "%sNot enough mana for %.*s.%s", "\x1b[31m", NAME_LEN, s->name, "\x1b[0m");
        return;
    }
    int mana_before = p.mana;
    add_clamped(p.mana, -static_cast<long long>(s->mana_cost));
    Turn outcome = apply(game, p, *s, x, y);
    if (outcome == Turn::USED_REFUND || outcome == Turn::FREE_REFUND)
        p.mana = mana_before;
    if (outcome == Turn::USED || outcome == Turn::USED_REFUND)
        count_turn(game);
}

int find_player_at(Game& game, int x, int y)
{
    if (player_in_play(game, game.player) && game.player.x == x && game.player.y == y)
        return 0;
    int n = others_limit(game);
    for (int k = 0; k < n; ++k) {
        const Player& o = game.others[k];
        if (player_in_play(game, o) && o.x == x && o.y == y)
            return k + 1;
    }
    return -1;
}

void set_player_name_source(PlayerNameSource source) { g_name_source = source ? source : no_names; }
