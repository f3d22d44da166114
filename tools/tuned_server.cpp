// The game server with its limits taken from the command line, for the tests
// and the load tool; the shipped program always runs with the defaults.
//
//   tuned_server [--prejoin-ms N] [--prejoin-total N] [--per-address N]
//                [--answer-ms N] [--stall-ms N] [--dead-wait-ms N]
//                [--login-window-ms N] [--seat-hold-ms N] [--idle-limit-ms N]
//                [--autosave-ms N] [--lock-stats]
//
// TUNED_RECORD=off in the environment turns the recordings off whatever the
// configuration says, so that the load tool can compare the two.
//
// The port and welcome text come from the configuration file as for
// `mzDELVE -s`; the exit status is 0 when a signal stopped the server, 1 when
// it cannot listen or its listener failed, 2 on a bad command line.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/version.hpp"
#include "config/config.hpp"
#include "log/log.hpp"
#include "server/server.hpp"
#include "term/term.hpp"
#include "web/web.hpp"

namespace {
bool parse_count(const char* text, long& out)
{
    char* end = nullptr;
    errno = 0;
    out = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && out >= 0 && out <= 100000000;
}

bool apply(std::string_view flag, long value, ServerLimits& limits, WebLimits& web)
{
    auto ms = std::chrono::milliseconds(value);
    if (flag == "--web-head-ms")
        web.head_time = ms;
    else if (flag == "--web-idle-ms")
        web.idle = ms;
    else if (flag == "--prejoin-ms")
        limits.prejoin = ms;
    else if (flag == "--prejoin-total")
        limits.prejoin_total = static_cast<int>(value);
    else if (flag == "--per-address")
        limits.prejoin_per_address = static_cast<int>(value);
    else if (flag == "--answer-ms")
        limits.answer = ms;
    else if (flag == "--stall-ms")
        limits.output_stall = ms;
    else if (flag == "--dead-wait-ms")
        limits.dead_wait = ms;
    else if (flag == "--login-window-ms")
        limits.login_window = ms;
    else if (flag == "--autosave-ms")
        limits.autosave = ms;
    else if (flag == "--seat-hold-ms")
        limits.seat_hold = ms;
    else if (flag == "--idle-limit-ms")
        limits.idle_limit = ms;
    else
        return false;
    return true;
}
}  // namespace

int main(int argc, char** argv)
{
    remember_invocation(argv[0], std::vector<std::string>(argv, argv + argc));
    ServerLimits limits;
    WebLimits web;
    for (int i = 1; i < argc; ++i) {
        std::string_view flag = argv[i];
        long value = 0;
        if (flag == "--lock-stats") {
            limits.lock_stats = true;
        } else if (i + 1 >= argc || !parse_count(argv[i + 1], value) || !apply(flag, value, limits, web)) {
            std::fprintf(stderr, "usage: %s [--prejoin-ms N] [--prejoin-total N] [--per-address N] [--answer-ms N] "
                                 "[--stall-ms N] [--dead-wait-ms N] [--login-window-ms N] [--seat-hold-ms N] [--idle-limit-ms N] [--autosave-ms N] [--lock-stats] [--web-head-ms N] [--web-idle-ms N]\n", argv[0]);
            return 2;
        } else {
            ++i;
        }
    }
    load_config();
    if (const char* record = std::getenv("TUNED_RECORD"); record && std::string_view(record) == "off") {
        ServerSettings settings = server_settings();
        settings.record = false;
        set_server_settings(settings);
    }
    set_program_version(PROGRAM_VERSION);
    set_server_limits(limits);
    set_server_mode(1);
    start_event_log(LogTarget::Stderr);
    set_web_limits(web);
    ServerStop stop = run_server(StopSignals::TermAndInterrupt, { start_web_door, stop_web_door });
    if (stop.cause == ServerStop::Cause::Signal)
        std::_Exit(0);
    flush_event_log(1000);
    std::fprintf(stderr, "%s\n", stop.text.c_str());
    // Client threads may still run: no static object may be destroyed under them.
    std::fflush(nullptr);
    std::_Exit(1);
}
