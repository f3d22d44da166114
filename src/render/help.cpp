// The help screen: the key bindings text and the pause that keeps it on screen.
#include <string>
#include <termios.h>
#include <unistd.h>

#include "render/render.hpp"
#include "term/term.hpp"

namespace {
constexpr int HELP_PAUSE_MS = 3000;

// Sent to every client as is: the two literal tabs (after the "r" key and
// after "follow" mode) are part of the text, not a layout mistake to fix.
constexpr const char HELP_TEXT[] =
    "\x1b[94m Movement (numpad):\n"
    " 7 (Up-Left)  8 (Up)     9 (Up-Right)\n"
    " 4 (Left)     5 (Wait)   6 (Right)\n"
    " 1 (Down-Left)2 (Down)   3 (Down-Right)\n"
    "\x1b[0m\x1b[97m Actions:                                                   \n"
    "\x1b[96m   , or g    \x1b[94mPick up item                                 \n"
    "\x1b[96m   e         \x1b[94mEquip / Use item (then 1-9)                  \n"
    "\x1b[96m   f         \x1b[94mFire ranged weapon (aim with numpad, f=fire) \n"
    "\x1b[96m   c         \x1b[94mCast spell (Wizards/Necromancers only)       \n"
    "\x1b[96m   r\t     \x1b[94mInitiate Running Mode                        \n"
    "\x1b[96m   >         \x1b[94mDescend stairs (all players must be on >)    \n"
    "\x1b[96m   s         \x1b[94mShop (stand on S and press s)                \n"
    "\x1b[96m   F         \x1b[94mEnter 'follow' mode\t\t\t      \n"
    "\x1b[96m   S         \x1b[94mSave Game                                    \n"
    "\x1b[96m   L         \x1b[94mLoad Game                                    \n"
    "\x1b[96m   a         \x1b[94mCommand allies (Necromancer)                 \n"
    "\x1b[96m   /         \x1b[94mChat (multiplayer)                           \n"
    "\x1b[96m   ?         \x1b[94mShow this help                               \n"
    "\x1b[96m   q         \x1b[94mQuit / suicide                               \n"
    "\x1b[0m\x1b[96m   k = \x1b[94m Wrath of God \x1b[96m h = \x1b[94m full heal \x1b[96m g = \x1b[94m +1000 gold \x1b[0m\n"
    "\x1b[96m   t = \x1b[94m teleport (aim then t) \x1b[96m w = \x1b[94m win game                             \n"
    "\x1b[0m           Press \x1b[96many key\x1b[97m to return to the game...          \n"
    "\x1b[0m";

// Non-canonical, no echo for exactly one read; the saved attributes come back
// however the read ends.
class OneKeyMode {
public:
    OneKeyMode()
    {
        if (tcgetattr(0, &m_saved) != 0)
            return;
        m_active = true;
        struct termios raw = m_saved;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        tcsetattr(0, TCSANOW, &raw);
    }
    ~OneKeyMode()
    {
        if (m_active)
            tcsetattr(0, TCSANOW, &m_saved);
    }
    OneKeyMode(const OneKeyMode&) = delete;
    OneKeyMode& operator=(const OneKeyMode&) = delete;

private:
    struct termios m_saved {};
    bool m_active = false;
};
}  // namespace

const char* help_text() { return HELP_TEXT; }

void show_help(Game&)
{
    std::string screen = "\x1b[H\x1b[J";
    screen += HELP_TEXT;
    if (server_mode()) {
        // The pause belongs to the client who asked: its own output holds
        // back its next frame, while the others play on.
        pause_screen(screen, HELP_PAUSE_MS);
        return;
    }
    write_screen(screen);
    OneKeyMode mode;
    read_byte(0);
}
