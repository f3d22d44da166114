#include "config/config.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace {

constexpr int DEFAULT_PORT = 1337;
constexpr const char* DEFAULT_WELCOME =
    "Welcome to the Server Roguelike! Enter username/password to begin.\n";
constexpr std::size_t WELCOME_SIZE = 512;
constexpr std::size_t PATH_SIZE = 1024;
constexpr std::size_t LINE_SIZE = 1024;
constexpr const char* CONFIG_NAME = "mzdelve.cfg";

// The default file, piece by piece, exactly as a first run writes it.
constexpr const char* DEFAULT_FILE[] = {
    "# Default mzDELVE configuration file\n",
    "# This file was automatically generated.\n",
    "# Edit the values below to customize the server.\n\n",
    "PORT = 1337\n",
    "SERVER_WELCOME_MSG = Welcome to the Server Roguelike! Enter username/password to begin.\n",
};

int g_port = DEFAULT_PORT;
ServerSettings g_settings {};
char g_welcome[WELCOME_SIZE] = "Welcome to the Server Roguelike! Enter username/password to begin.\n";

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_file(const char* path, const char* mode) { return File(std::fopen(path, mode)); }

// Builds "<dir><separator><name>" into a path buffer. A longer path is cut at
// 1023 characters; the open that follows then simply fails or finds another file.
void join_path(char (&out)[PATH_SIZE], const char* dir, const char* name)
{
    std::size_t used = 0;
    for (const char* part : { dir, "/", name }) {
        std::size_t n = std::min(std::strlen(part), sizeof out - 1 - used);
        std::memcpy(out + used, part, n);
        used += n;
    }
    out[used] = '\0';
}

void write_default_file(const char* path)
{
    File out = open_file(path, "w");
    if (!out)
        return;
    for (const char* piece : DEFAULT_FILE)
        std::fputs(piece, out.get());
}

// The file under $HOME/.mzdelve, created with its directory on a first run.
File open_home_config(const char* home)
{
    char dir[PATH_SIZE];
    join_path(dir, home, ".mzdelve");
    struct stat st {};
    if (stat(dir, &st) != 0 && mkdir(dir, 0700) != 0) {
        std::perror("Failed to create config directory ~/.mzdelve");
        return open_file(CONFIG_NAME, "r");
    }
    char path[PATH_SIZE];
    join_path(path, dir, CONFIG_NAME);
    if (File in = open_file(path, "r"))
        return in;
    write_default_file(path);
    return open_file(path, "r");
}

File open_config()
{
    if (const char* dir = std::getenv("RL_CONFIG_DIR")) {
        // A directory chosen on purpose is only read, never filled in.
        char path[PATH_SIZE];
        join_path(path, dir, CONFIG_NAME);
        return open_file(path, "r");
    }
    if (const char* home = std::getenv("HOME"))
        return open_home_config(home);
    return open_file(CONFIG_NAME, "r");
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Drops leading blanks and tabs, then trailing blanks, tabs and line ends.
char* trim_value(char* value)
{
    while (is_blank(*value))
        ++value;
    std::size_t len = std::strlen(value);
    while (len > 0 && (is_blank(value[len - 1]) || value[len - 1] == '\r' || value[len - 1] == '\n'))
        value[--len] = '\0';
    return value;
}

void apply_port(const char* value)
{
    errno = 0;
    long port = std::strtol(value, nullptr, 10);
    if (errno == 0 && port >= 1 && port <= 65535)
        g_port = static_cast<int>(port);
}

void apply_welcome(const char* value)
{
    std::snprintf(g_welcome, sizeof g_welcome, "%s", value);
    std::size_t len = std::strlen(g_welcome);
    // Clients expect the greeting to end its line, unless it fills the buffer.
    if ((len == 0 || g_welcome[len - 1] != '\n') && len < WELCOME_SIZE - 1) {
        g_welcome[len] = '\n';
        g_welcome[len + 1] = '\0';
    }
}

// A whole decimal number in lo..hi; anything else is left unapplied.
bool parse_int(const char* value, long lo, long hi, int& out)
{
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || v < lo || v > hi)
        return false;
    out = static_cast<int>(v);
    return true;
}

bool parse_switch(const char* value, bool& out)
{
    if (std::strcmp(value, "on") == 0 || std::strcmp(value, "yes") == 0 || std::strcmp(value, "1") == 0)
        return out = true, true;
    if (std::strcmp(value, "off") == 0 || std::strcmp(value, "no") == 0 || std::strcmp(value, "0") == 0)
        return out = false, true;
    return false;
}

constexpr long ONE_YEAR_S = 366L * 24 * 3600;

// The operating keys; false when key is none of them.
bool apply_setting(const char* key, const char* value)
{
    ServerSettings& s = g_settings;
    if (std::strcmp(key, "BIND") == 0)
        s.bind = value;
    else if (std::strcmp(key, "SAVES_KEPT") == 0)
        parse_int(value, 0, 1000000, s.saves_kept);
    else if (std::strcmp(key, "SEAT_HOLD") == 0)
        parse_int(value, 0, ONE_YEAR_S, s.seat_hold_s);
    else if (std::strcmp(key, "IDLE_LIMIT") == 0)
        parse_int(value, 0, ONE_YEAR_S, s.idle_limit_s);
    else if (std::strcmp(key, "WEB_PORT") == 0)
        parse_int(value, 0, 65535, s.web_port);
    else if (std::strcmp(key, "WEB_TLS_CERT") == 0)
        s.web_tls_cert = value;
    else if (std::strcmp(key, "WEB_TLS_KEY") == 0)
        s.web_tls_key = value;
    else if (std::strcmp(key, "WATCHERS") == 0)
        parse_int(value, 0, 1000, s.watchers);
    else if (std::strcmp(key, "RECORD") == 0)
        parse_switch(value, s.record);
    else if (std::strcmp(key, "RECORD_KEEP_MB") == 0)
        parse_int(value, 1, 1 << 30, s.record_keep_mb);
    else
        return false;
    return true;
}

void apply_line(const char* line)
{
    if (line[0] == '#' || line[0] == '\r' || line[0] == '\n')
        return;
    char key[64] = "";
    char raw_value[512] = "";
    // The strict form stops the key at a blank; the loose form keeps blanks in
    // the key, so "MY KEY = x" is split but then matches no known key.
    if (std::sscanf(line, "%63[^= ] = %511[^\n]", key, raw_value) != 2
        && std::sscanf(line, "%63[^=]=%511[^\n]", key, raw_value) != 2)
        return;
    const char* value = trim_value(raw_value);
    if (std::strcmp(key, "PORT") == 0)
        apply_port(value);
    else if (std::strcmp(key, "SERVER_WELCOME_MSG") == 0)
        apply_welcome(value);
    else
        apply_setting(key, value);
}

}  // namespace

void read_config_lines(std::FILE* file)
{
    // A line longer than the buffer arrives in pieces; each piece is taken as
    // a line of its own.
    char line[LINE_SIZE];
    while (std::fgets(line, sizeof line, file))
        apply_line(line);
}

void load_config()
{
    if (File in = open_config())
        read_config_lines(in.get());
}

int server_port() { return g_port; }
void set_server_port(int port) { g_port = port; }
const char* welcome_message() { return g_welcome; }
const ServerSettings& server_settings() { return g_settings; }
void set_server_settings(const ServerSettings& settings) { g_settings = settings; }

void reset_config()
{
    g_port = DEFAULT_PORT;
    g_settings = ServerSettings {};
    std::snprintf(g_welcome, sizeof g_welcome, "%s", DEFAULT_WELCOME);
}
