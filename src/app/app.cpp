#include "app/app.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "accounts/accounts.hpp"
#include "app/version.hpp"
#include "config/config.hpp"
#include "input/local.hpp"
#include "log/log.hpp"
#include "records/xlog.hpp"
#include "render/render.hpp"
#include "server/server.hpp"
#include "term/term.hpp"
#include "web/web.hpp"
#include "world/character.hpp"
#include "world/dungeon.hpp"
#include "world/game.hpp"
#include "world/items.hpp"

namespace {

constexpr const char* HELP_TEXT =
    "--- Command Line Help ---\n"
    "./mzDELVE -r or --register == registration mode\n"
    " /mzDELVE -l or --login == login\n"
    "./mzDELVE -s or --server == multi player server\n"
    "./mzDELVE -s -d or --server --daemon ==  daemon server mode";

constexpr const char* PRESS_ENTER = "Press Enter to continue/* ... */";
constexpr const char* BRIGHT_RED = "\x1b[91m";
constexpr const char* BRIGHT_BLUE = "\x1b[94m";

int g_daemon_mode = 0;

// The raw mode the menu and local play run in. Raw mode is entered only from
// the normal mode (entering it twice would save the raw attributes as the ones
// to restore), and whatever was entered here is undone on every way out.
class RawMode {
public:
    RawMode() { install_terminal_restore_handlers(); }
    ~RawMode() { leave(); }
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;

    void enter()
    {
        if (m_on || server_mode())
            return;
        enable_raw_mode();
        m_on = true;
    }
    void leave()
    {
        if (!m_on)
            return;
        restore_terminal();
        m_on = false;
    }

private:
    bool m_on { false };
};

bool is_arg(std::string_view arg, std::string_view short_form, std::string_view long_form)
{
    return arg == short_form || arg == long_form;
}

bool is_server_arg(std::string_view arg) { return is_arg(arg, "-s", "--server"); }
bool is_daemon_arg(std::string_view arg) { return is_arg(arg, "-d", "--daemon"); }

void show(const char* text)
{
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// End of input also ends the wait, so a closed standard input cannot spin here.
void wait_for_enter()
{
    int c;
    do {
        c = std::getc(stdin);
    } while (c != '\n' && c != EOF);
    std::clearerr(stdin);
}

void show_and_wait(const char* text)
{
    show(text);
    wait_for_enter();
}

// The failure of run_server as one line; an empty report still says something.
std::string server_failure_line(std::string failure)
{
    while (!failure.empty() && (failure.back() == '\n' || failure.back() == '\r'))
        failure.pop_back();
    if (failure.empty())
        failure = "Server on port " + std::to_string(server_port()) + " stopped.";
    return failure;
}

// ---- Daemon mode ----

int detach_failure()
{
    std::fwrite("Failed to daemonize\n", 1, 20, stderr);
    return 1;
}

// The daemon keeps no terminal: its standard descriptors lead to /dev/null, or
// stay closed when that cannot be opened.
void redirect_standard_descriptors()
{
    close(0);
    close(1);
    close(2);
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd < 0)
        return;
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    if (null_fd > 2)
        close(null_fd);
}

bool write_pid_file()
{
    std::FILE* f = std::fopen(PID_FILE, "w");
    if (!f)
        return false;
    bool written = std::fprintf(f, "%d\n", static_cast<int>(getpid())) > 0;
    return std::fclose(f) == 0 && written;
}

// The web door beside the game port, when WEB_PORT asks for one. An
// operator who asked for it never gets a server without it.
std::string open_web_door()
{
    std::string failure = start_web_door();
    if (!failure.empty())
        log_event("web %s", failure.c_str());
    return failure;
}

constexpr SideDoor WEB_DOOR { open_web_door, stop_web_door };

// After serving, client threads may still run: the process ends without
// destroying the static objects they use. The server's stop has written the
// log out.
[[noreturn]] void end_after_serving(int status)
{
    std::fflush(nullptr);
    std::_Exit(status);
}

// The daemon's server, until a signal ends it; also what a reloaded daemon
// runs, which is detached already and keeps its PID and standard descriptors.
[[noreturn]] void serve_as_daemon()
{
    // Started only now: the writer thread would not survive the fork, and the
    // daemon's standard error is /dev/null.
    start_event_log(LogTarget::Syslog);
    if (!write_pid_file()) {
        std::perror("Failed to create PID file");
        end_after_serving(1);
    }
    // SIGTERM, SIGINT and SIGHUP stop the server; however it ends, the PID
    // file goes with the process it names.
    run_server(StopSignals::AlsoHangup, WEB_DOOR);
    flush_event_log(1000);
    unlink(PID_FILE);
    end_after_serving(0);
}

int run_daemon_child()
{
    // Whatever the daemon creates is its own to change: a PID file others
    // could write would let any local user aim the documented kill elsewhere.
    umask(022);
    if (setsid() < 0) {
        std::perror("setsid failed");
        return detach_failure();
    }
    if (chdir(".") != 0) {
        std::perror("chdir failed");
        return detach_failure();
    }
    redirect_standard_descriptors();
    serve_as_daemon();
}

int daemonize()
{
    // Anything still buffered would otherwise be written by both processes.
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("Fork failed");
        return detach_failure();
    }
    if (pid == 0)
        return run_daemon_child();
    std::printf("Listening on port %d\n", server_port());
    std::printf("Daemon started with PID: %d\n", static_cast<int>(pid));
    std::printf("PID file: %s\n", PID_FILE);
    return 0;
}

// A server that cannot listen must not look like one that ended normally.
int start_server()
{
    set_server_mode(1);
    if (g_daemon_mode && started_by_reload())
        serve_as_daemon();
    if (g_daemon_mode)
        return daemonize();
    start_event_log(LogTarget::Stderr);
    ServerStop stop = run_server(StopSignals::TermAndInterrupt, WEB_DOOR);
    if (stop.cause == ServerStop::Cause::Signal)
        end_after_serving(0);
    // The last events first, so that the reason stands last; a stalled
    // reader may cost them, but must not keep the process from ending.
    flush_event_log(1000);
    std::fprintf(stderr, "%s\n", server_failure_line(stop.text).c_str());
    if (stop.cause == ServerStop::Cause::ListenerError)
        end_after_serving(1);
    return 1;
}

// ---- Local game ----

bool other_player_alive(const Game& game)
{
    for (int i = 0; i < others_limit(game); ++i)
        if (game.others[i].alive)
            return true;
    return false;
}

// A frame on a terminal too small for it wraps and scrolls into an unreadable
// screen, so a game waits until the player has made the terminal big enough.
// False when the player goes back to the menu instead (q, or end of input).
// Output that is not a terminal, or one that reports no size, is not checked.
bool wait_for_terminal_size()
{
    for (;;) {
        std::optional<TerminalSize> size = terminal_size(1);
        if (!size || (size->columns >= FRAME_COLUMNS && size->rows >= FRAME_ROWS))
            return true;
        std::fflush(stdout);
        clear_screen();
        std::printf("The game needs a terminal of at least %d x %d (columns x rows);\n"
                    "this one is %d x %d. Resize it and press Enter, or q to go back to the menu.\n",
            FRAME_COLUMNS, FRAME_ROWS, size->columns, size->rows);
        std::fflush(stdout);
        int c;
        do {
            c = read_byte(0);
        } while (c >= 0 && c != '\n' && c != '\r' && c != 'q');
        if (c < 0 || c == 'q')
            return false;
    }
}

// Returns an exit status when the game ends the program, nothing to go back
// to the menu.
std::optional<int> play_local_game(RawMode& raw)
{
    if (!wait_for_terminal_size())
        return std::nullopt;
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    Game& game = local_game();
    // Each game starts from an empty record, so a second game in the same
    // process begins at level 1 again and nothing of the first one lingers.
    free_player_items(game);
    std::memset(&game, 0, sizeof game);
    generate_level(game);
    create_character(game, 1, 0);
    run_local_game(game);

    raw.leave();
    if (other_player_alive(game))
        return 0;
    std::fflush(stdout);
    clear_screen();
    std::printf("%sGAME OVER! You reached dungeon level %d.\n", BRIGHT_RED, game.level);
    free_player_items(game);
    show_and_wait("Press Enter to return to main menu...");
    return std::nullopt;
}

// ---- Main menu ----

// One byte chosen; the rest of the line up to Enter is dropped. End of input quits.
int read_menu_choice()
{
    std::fflush(stdout);
    clear_screen();
    std::printf("%s--- gLOOMhOLD DUNGEON ---\n\n", BRIGHT_BLUE);
    std::puts("1. Play Game (Local)");
    std::printf("2. Server Mode (Listen on Port %d)\n", server_port());
    std::puts("3. Register New User");
    std::puts("4. Login and Play (Local)");
    std::puts("5. Quit");
    show("\nEnter choice: ");
    int choice = read_byte(0);
    if (choice < 0)
        return '5';
    int c;
    do {
        c = read_byte(0);
    } while (c >= 0 && c != '\n');
    return choice;
}

void serve_from_menu(RawMode& raw)
{
    set_server_mode(1);
    start_event_log(LogTarget::Stderr);
    ServerStop stop = run_server(StopSignals::TermAndInterrupt, WEB_DOOR);
    if (stop.cause == ServerStop::Cause::Signal) {
        raw.leave();
        end_after_serving(0);
    }
    std::string line = server_failure_line(stop.text);
    // Back to the menu, where local play must log nothing.
    stop_event_log();
    std::printf("%s\n", line.c_str());
    show_and_wait(PRESS_ENTER);
}

void register_from_menu(RawMode& raw)
{
    raw.leave();
    register_user(1);
    show_and_wait(PRESS_ENTER);
}

std::optional<int> login_from_menu(RawMode& raw)
{
    set_server_mode(0);
    raw.leave();
    if (login_user(1)) {
        raw.enter();
        return play_local_game(raw);
    }
    show_and_wait("Login failed. Press Enter to continue/* ... */");
    return std::nullopt;
}

std::optional<int> menu_action(int choice, RawMode& raw)
{
    switch (choice) {
    case '1':
        set_server_mode(0);
        return play_local_game(raw);
    case '2':
        serve_from_menu(raw);
        return std::nullopt;
    case '3':
        register_from_menu(raw);
        return std::nullopt;
    case '4':
        return login_from_menu(raw);
    case '5':
        raw.leave();
        return 0;
    default:
        std::puts("Invalid option.");
        show_and_wait(PRESS_ENTER);
        return std::nullopt;
    }
}

int main_menu()
{
    RawMode raw;
    for (;;) {
        raw.enter();
        int choice = read_menu_choice();
        std::fflush(stdout);
        clear_screen();
        if (std::optional<int> status = menu_action(choice, raw)) {
            std::fflush(stdout);
            return *status;
        }
    }
}

// A reload starts a server again: the same command line when it started
// one, else the plain server (the menu's server has no terminal to return to).
std::vector<std::string> reload_command_line(int argc, char** argv)
{
    std::vector<std::string> args(argv, argv + argc);
    if (std::none_of(args.begin(), args.end(), [](const std::string& a) { return is_server_arg(a); }))
        args = { argc > 0 ? argv[0] : PROGRAM_NAME, "-s" };
    return args;
}

}  // namespace

int run_app(int argc, char** argv)
{
    // The menu reads keys from descriptor 0 itself; a buffered standard input
    // would swallow keys typed ahead while waiting for Enter.
    std::setvbuf(stdin, nullptr, _IONBF, 0);
    remember_invocation(argv[0], reload_command_line(argc, argv));
    load_config();
    set_program_version(PROGRAM_VERSION);
    if (argc < 2)
        return main_menu();
    std::string_view first = argv[1];
    if (is_arg(first, "-r", "--register")) {
        register_user(1);
        return 0;
    }
    if (is_arg(first, "-l", "--login"))
        return login_user(1) ? main_menu() : 0;
    if (first == "--version") {
        std::printf("%s %s\n", PROGRAM_NAME, PROGRAM_VERSION);
        return 0;
    }
    if (is_arg(first, "-h", "--help")) {
        std::puts(HELP_TEXT);
        return 0;
    }
    if (first == "--scores")
        return print_scores(argc > 2 ? argv[2] : XLOGFILE);
    if (argc > 2) {
        std::string_view second = argv[2];
        g_daemon_mode = is_daemon_arg(second) || (is_daemon_arg(first) && is_server_arg(second));
        if (is_daemon_arg(first) && is_server_arg(second))
            return start_server();
    }
    if (is_server_arg(first))
        return start_server();
    return main_menu();
}
