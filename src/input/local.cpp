// Local play: draw, read one key, dispatch it, let the world act.
#include "input/local.hpp"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "input/prompts.hpp"
#include "render/render.hpp"
#include "rules/allies.hpp"
#include "rules/monsters.hpp"
#include "rules/movement.hpp"
#include "rules/projectiles.hpp"
#include "rules/spells.hpp"
#include "rules/wizard.hpp"
#include "term/term.hpp"
#include "world/chat.hpp"
#include "world/effects.hpp"

namespace {

constexpr std::string_view WIZARD_KEYS = "khgtwz";
constexpr int CHAT_INPUT_LEN = 256;

bool is_wizard_key(char key) { return WIZARD_KEYS.find(key) != std::string_view::npos; }

// A 't' while the cursor is shown confirms the teleport instead of starting a new one.
void dispatch_key(Game& game, char key)
{
    if (game.wizard_mode && is_wizard_key(key) && !(key == 't' && game.player.aiming))
        wizard_command(game, key);
    else
        handle_local_key(game, key);
}

// Open prompts hold the world still until they are answered.
bool world_paused(const Game& game)
{
    return game.player.aiming || game.ally_menu || game.ally_control_mode || game.skip_key ||
           game.reserved_a || game.reserved_b;
}

// fgets keeps what it could not fit in stdin's buffer; a long line would
// otherwise turn its tail into the next chat message.
void drop_rest_of_line()
{
    int c = 0;
    while ((c = std::getchar()) != EOF && c != '\n') {
    }
}

void chat_key(Game& game)
{
    restore_terminal_if_local();
    std::fputs("Enter message: ", stdout);
    std::fflush(stdout);
    char line[CHAT_INPUT_LEN];
    // An earlier end of input leaves the stream's flag set; a new line may have come since.
    std::clearerr(stdin);
    if (std::fgets(line, sizeof line, stdin)) {
        char* newline = std::strchr(line, '\n');
        if (newline)
            *newline = '\0';
        else
            drop_rest_of_line();
        add_chat_message(game, "Player", line);
    }
    enable_raw_mode_if_local();
}

void cast_key(Game& game, Player& p)
{
    if (p.spell_count > 0 && (is_spell_caster(p.player_class) || game.wizard_mode)) {
        p.choosing_spell = 1;
        set_message(p, "\x1b[94mChoose spell (1-9) or 'c' to cancel.\x1b[0m");
    } else {
        set_message(p, "\x1b[31mYou cannot cast spells.\x1b[0m");
    }
}

void normal_key(Game& game, char key)
{
    Player& p = game.player;
    int dx = 0;
    int dy = 0;
    if (keypad_direction(key, dx, dy)) {
        move_player(game, dx, dy, p);
    } else if (input::shared_normal_key(game, p, key)) {
        return;
    } else if (key == 'c') {
        cast_key(game, p);
    } else if (key == '>') {
        if (input::on_stairs(game, p))
            input::descend_party(game);
    } else if (key == 'z') {
        wizard_command(game, key);
    }
}

}  // namespace

void world_step(Game& game)
{
    monsters_turn(game);
    update_projectiles(game);
    update_effects(game);
}

void play_local_key(Game& game, char key)
{
    dispatch_key(game, key);
    if (!world_paused(game))
        world_step(game);
}

void run_local_game(Game& game)
{
    while (game.player.alive) {
        render_screen(game, game.player, 0);
        char key = 0;
        // Without input nothing can ever end the game, so the end of input quits.
        if (read_some(0, &key, 1) != 1) {
            game.player.alive = 0;
            return;
        }
        play_local_key(game, key);
    }
}

void handle_local_key(Game& game, char key)
{
    Player& p = game.player;
    if (game.skip_key) {
        game.skip_key = 0;
    } else if (key == '/') {
        chat_key(game);
    } else if (p.running) {
        input::running_key(game, p, key);
    } else if (p.aiming) {
        input::aiming_key(game, p, key, input::Dispatcher::local);
    } else if (p.choosing_spell) {
        choose_spell(game, key, p);
    } else if (p.choosing_item) {
        input::equip_prompt_key(game, p, key);
    } else if (key == 'a') {
        open_ally_menu(game, p);
    } else if (game.ally_menu && key >= '1' && key <= '4') {
        ally_menu_key(game, p, 0, key);
    } else if (manual_control_active(game)) {
        manual_ally_key(game, p, key);
    } else {
        normal_key(game, key);
    }
}
