// The 'S' and 'L' commands: time-stamped files in saves/, the newest one
// loaded, and the outcome shown to the acting player.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "save/save.hpp"
#include "term/term.hpp"

namespace {

constexpr const char* SAVE_DIR = "saves";
// Room of the candidate path; longer entries are skipped rather than cut,
// since a cut name would open some other file.
constexpr std::size_t MAX_SAVE_PATH = 255;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

std::string save_file_name()
{
    std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char name[128];
    std::snprintf(name, sizeof name, "saves/save_%04d%02d%02d_%02d%02d%02d.sav", local.tm_year + 1900,
        local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return name;
}

// The newest entry whose name contains ".sav"; equal times keep the first found.
std::string newest_save(DIR* dir)
{
    std::string best;
    std::time_t best_time = 0;
    while (const dirent* entry = readdir(dir)) {
        if (!std::strstr(entry->d_name, ".sav"))
            continue;
        std::string path = std::string(SAVE_DIR) + "/" + entry->d_name;
        if (path.size() > MAX_SAVE_PATH)
            continue;
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && st.st_mtime > best_time) {
            best_time = st.st_mtime;
            best = path;
        }
    }
    return best;
}

const char* load_failure_text(int result)
{
    if (result == -2)
        return "Invalid save file format!";
    if (result == -3)
        return "Unsupported save file version!";
    return "Failed to load save file!";
}


}  // namespace

void show_status_line(std::string_view text)
{
    if (output_fd() == -1)
        return;
    char blank[64];
    std::snprintf(blank, sizeof blank, "\x1b[%d;%dH%-50s", 27, 1, "");
    std::string line = blank;
    line += "\x1b[27;1H\x1b[33m";
    line += text;
    line += "\x1b[0m";
    write_screen(line);
    std::fflush(stdout);
}

void set_status_message(std::string_view text, Player& p)
{
    copy_text(p.message, text);
    if (server_mode())
        show_status_line(text);
}

void save_game(Game& game, Player& p)
{
    set_status_message("Saving game...", p);
    struct stat st {};
    // A failure to create it shows up as a failed save.
    if (stat(SAVE_DIR, &st) != 0)
        mkdir(SAVE_DIR, 0755);
    const std::string path = save_file_name();
    if (write_save_file(path.c_str(), game, p) != 0) {
        set_status_message("Failed to save game!", p);
        return;
    }
    char text[MESSAGE_LEN];
    std::snprintf(text, sizeof text, "%sGame saved successfully to %s%s", "\x1b[32m", path.c_str(), "\x1b[0m");
    set_status_message(text, p);
}

void load_game(Game& game, Player& p)
{
    set_status_message("Loading game...", p);
    std::string path;
    {
        std::unique_ptr<DIR, DirCloser> dir(opendir(SAVE_DIR));
        if (!dir) {
            set_status_message("No saves directory found!", p);
            return;
        }
        path = newest_save(dir.get());
    }
    if (path.empty()) {
        set_status_message("No save files found!", p);
        return;
    }
    const int number = player_number_of(game, p);
    const int result = read_save_file(path.c_str(), game, p);
    if (result != 0) {
        set_status_message(load_failure_text(result), p);
        return;
    }
    // The load replaced the record p lives in; its slot is the same.
    Player& loaded = *player_by_number(game, number);
    char text[MESSAGE_LEN];
    std::snprintf(text, sizeof text, "%sGame loaded from %s%s", "\x1b[32m", path.c_str(), "\x1b[0m");
    set_status_message(text, loaded);
}
