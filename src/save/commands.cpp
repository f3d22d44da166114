// The 'S' and 'L' commands: time-stamped files in saves/, the newest one
// loaded, and the outcome shown to the acting player.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "files/files.hpp"
#include "save/save.hpp"
#include "term/term.hpp"

namespace {

constexpr const char* SAVE_DIR = "saves";
// Room of the candidate path; longer entries are skipped rather than cut,
// since a cut name would open some other file.
constexpr std::size_t MAX_SAVE_PATH = 255;
// Far beyond the largest save (about 150 KB); bytes after the last block
// are ignored, but a file this large was never written by the program.
constexpr std::size_t MAX_SAVE_READ = 4u << 20;
// A save holds a whole character: nobody else on the machine may read or edit it.
constexpr mode_t SAVE_MODE = 0600;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

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

// "save_" date "_" time ".sav", as save_file_name makes them.
bool own_save_name(const char* name)
{
    constexpr std::string_view FORM = "save_dddddddd_dddddd.sav";
    if (std::strlen(name) != FORM.size())
        return false;
    for (std::size_t i = 0; i < FORM.size(); ++i) {
        bool digit = name[i] >= '0' && name[i] <= '9';
        if (FORM[i] == 'd' ? !digit : name[i] != FORM[i])
            return false;
    }
    return true;
}

struct SaveEntry {
    std::time_t time;
    std::string path;
};

std::vector<SaveEntry> own_saves()
{
    std::vector<SaveEntry> saves;
    Dir dir(opendir(SAVE_DIR));
    if (!dir)
        return saves;
    while (const dirent* entry = readdir(dir.get())) {
        if (!own_save_name(entry->d_name))
            continue;
        std::string path = std::string(SAVE_DIR) + "/" + entry->d_name;
        struct stat st {};
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            saves.push_back({ st.st_mtime, std::move(path) });
    }
    return saves;
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

PreparedSave prepare_save(Game& game, Player& p)
{
    set_status_message("Saving game...", p);
    PreparedSave save;
    save.path = save_file_name();
    save_image(game, p, save.bytes);
    return save;
}

bool write_prepared_save(const PreparedSave& save)
{
    if (save.bytes.empty())
        return false;
    struct stat st {};
    // A failure to create it shows up as a failed save.
    if (stat(SAVE_DIR, &st) != 0)
        mkdir(SAVE_DIR, 0755);
    return write_file_atomically(save.path, save.bytes, SAVE_MODE);
}

void report_save(Player& p, const PreparedSave& save, bool written)
{
    if (!written) {
        set_status_message("Failed to save game!", p);
        return;
    }
    char text[MESSAGE_LEN];
    std::snprintf(text, sizeof text, "%sGame saved successfully to %s%s", "\x1b[32m", save.path.c_str(), "\x1b[0m");
    set_status_message(text, p);
}

void save_game(Game& game, Player& p)
{
    PreparedSave save = prepare_save(game, p);
    report_save(p, save, write_prepared_save(save));
}

FoundSave find_newest_save()
{
    FoundSave found;
    Dir dir(opendir(SAVE_DIR));
    if (!dir) {
        found.status = FoundSave::Status::NoDirectory;
        return found;
    }
    found.path = newest_save(dir.get());
    dir.reset();
    if (found.path.empty()) {
        found.status = FoundSave::Status::NoFiles;
        return found;
    }
    std::optional<std::string> bytes = read_whole_file(found.path, MAX_SAVE_READ);
    found.status = bytes ? FoundSave::Status::Found : FoundSave::Status::Unreadable;
    found.bytes = bytes ? std::move(*bytes) : std::string();
    return found;
}

const char* load_failure_text(const FoundSave& found, int result)
{
    if (found.status == FoundSave::Status::NoDirectory)
        return "No saves directory found!";
    if (found.status == FoundSave::Status::NoFiles)
        return "No save files found!";
    if (result == -2)
        return "Invalid save file format!";
    if (result == -3)
        return "Unsupported save file version!";
    return "Failed to load save file!";
}

int apply_found_save(Game& game, Player& p, const FoundSave& found)
{
    int result = -1;
    if (found.status == FoundSave::Status::Found) {
        const int number = player_number_of(game, p);
        auto bytes = std::span(reinterpret_cast<const unsigned char*>(found.bytes.data()), found.bytes.size());
        result = read_save_data(bytes, game, p);
        if (result == 0) {
            // The load replaced the record p lives in; its slot is the same.
            char text[MESSAGE_LEN];
            std::snprintf(text, sizeof text, "%sGame loaded from %s%s", "\x1b[32m", found.path.c_str(), "\x1b[0m");
            set_status_message(text, *player_by_number(game, number));
            return 0;
        }
    }
    set_status_message(load_failure_text(found, result), p);
    return result;
}

void load_game(Game& game, Player& p)
{
    set_status_message("Loading game...", p);
    apply_found_save(game, p, find_newest_save());
}

std::vector<std::string> prune_saves(std::size_t keep)
{
    std::vector<std::string> removed;
    std::vector<SaveEntry> saves = own_saves();
    if (saves.size() <= keep)
        return removed;
    // Newest first; names carry the time too, for saves of the same second.
    auto cut = saves.begin() + static_cast<std::ptrdiff_t>(keep);
    std::nth_element(saves.begin(), cut, saves.end(), [](const SaveEntry& a, const SaveEntry& b) {
        return a.time != b.time ? a.time > b.time : a.path > b.path;
    });
    for (auto it = cut; it != saves.end(); ++it)
        if (unlink(it->path.c_str()) == 0)
            removed.push_back(std::move(it->path));
    return removed;
}
