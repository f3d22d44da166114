#include "records/xlog.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include "log/log.hpp"
#include "text/sanitize.hpp"

namespace {

bool continuation_byte(char c) { return (static_cast<unsigned char>(c) & 0xc0) == 0x80; }

// Sanitised text has no tab or line break; cut only between characters.
std::string safe_value(std::string_view value)
{
    std::string out = sanitize_text(value);
    if (out.size() > XLOG_VALUE_MAX) {
        std::size_t cut = XLOG_VALUE_MAX;
        while (cut > 0 && continuation_byte(out[cut]))
            --cut;
        out.resize(cut);
    }
    return out;
}

void add_field(std::string& line, const char* key, std::string_view value)
{
    if (!line.empty())
        line += '\t';
    line += key;
    line += '=';
    line += safe_value(value);
}

void add_field(std::string& line, const char* key, long long value) { add_field(line, key, std::to_string(value)); }

std::optional<long long> whole_number(std::string_view text)
{
    long long v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return v;
}

// One field into the entry; a field it does not know, or a bad number, is skipped.
void apply_field(XlogEntry& e, std::string_view key, std::string_view value, bool& has_level, bool& has_turns)
{
    struct Text {
        const char* key;
        std::string XlogEntry::*field;
    };
    struct Number {
        const char* key;
        long long XlogEntry::*field;
    };
    static constexpr Text TEXTS[] = { { "version", &XlogEntry::version }, { "name", &XlogEntry::name },
                                      { "account", &XlogEntry::account }, { "class", &XlogEntry::player_class },
                                      { "death", &XlogEntry::death } };
    static constexpr Number NUMBERS[] = { { "level", &XlogEntry::level }, { "turns", &XlogEntry::turns },
                                          { "gold", &XlogEntry::gold },   { "hp", &XlogEntry::hp },
                                          { "maxhp", &XlogEntry::maxhp }, { "party", &XlogEntry::party },
                                          { "starttime", &XlogEntry::starttime }, { "endtime", &XlogEntry::endtime } };
    for (const Text& t : TEXTS)
        if (key == t.key)
            e.*t.field = safe_value(value);
    for (const Number& n : NUMBERS) {
        std::optional<long long> v = key == n.key ? whole_number(value) : std::nullopt;
        if (!v)
            continue;
        e.*n.field = *v;
        has_level |= n.field == &XlogEntry::level;
        has_turns |= n.field == &XlogEntry::turns;
    }
}

bool better(const XlogEntry& a, const XlogEntry& b)
{
    return std::tuple(-a.level, a.turns, a.endtime) < std::tuple(-b.level, b.turns, b.endtime);
}

// Keeps best sorted and at most count long.
void consider(std::vector<XlogEntry>& best, XlogEntry entry, std::size_t count)
{
    auto at = std::upper_bound(best.begin(), best.end(), entry, better);
    if (static_cast<std::size_t>(at - best.begin()) >= count)
        return;
    best.insert(at, std::move(entry));
    if (best.size() > count)
        best.pop_back();
}

// Width in characters, for lining up names in UTF-8.
std::size_t width(std::string_view text)
{
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return !continuation_byte(c); }));
}

std::string fit(std::string_view text, std::size_t columns)
{
    std::string out;
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!continuation_byte(text[i]) && used++ == columns)
            break;
        out += text[i];
    }
    return out + std::string(columns - std::min(columns, width(out)), ' ');
}

std::string utc_date(long long seconds)
{
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm {};
    char date[16] = "?";
    if (seconds > 0 && gmtime_r(&t, &tm))
        std::strftime(date, sizeof date, "%Y-%m-%d", &tm);
    return date;
}

bool last_byte_is_newline(int fd)
{
    struct stat st {};
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) != 1)
        last = '\n';
    return last == '\n';
}

}  // namespace

std::string format_xlog_line(const XlogEntry& e)
{
    std::string line;
    add_field(line, "version", e.version);
    add_field(line, "name", e.name);
    add_field(line, "account", e.account);
    add_field(line, "class", e.player_class);
    add_field(line, "level", e.level);
    add_field(line, "turns", e.turns);
    add_field(line, "gold", e.gold);
    add_field(line, "hp", e.hp);
    add_field(line, "maxhp", e.maxhp);
    add_field(line, "death", e.death);
    add_field(line, "party", e.party);
    add_field(line, "starttime", e.starttime);
    add_field(line, "endtime", e.endtime);
    return line + '\n';
}

bool append_xlog(const std::string& path, const XlogEntry& entry)
{
    // Read access only for looking at the last byte.
    int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        log_event("xlog %s failed: %s", log_quote(path).c_str(), std::strerror(errno));
        return false;
    }
    std::string line = format_xlog_line(entry);
    // Another writer's line may be half in the file while it is written; the
    // lock keeps that from reading as a torn line. Our writers hold it for one
    // write; anyone may take it (the file is world-readable), so after a
    // short wait the line goes in without it.
    for (int tries = 0; tries < 100 && flock(fd, LOCK_EX | LOCK_NB) != 0; ++tries)
        usleep(1000);
    if (!last_byte_is_newline(fd))
        line.insert(line.begin(), '\n');
    ssize_t n;
    do
        n = write(fd, line.data(), line.size());
    while (n < 0 && errno == EINTR);
    int error = n < 0 ? errno : ENOSPC;
    ::close(fd);
    if (n == static_cast<ssize_t>(line.size()))
        return true;
    log_event("xlog %s failed: %s", log_quote(path).c_str(), std::strerror(error));
    return false;
}

std::optional<XlogEntry> parse_xlog_line(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    XlogEntry e;
    bool has_level = false, has_turns = false, has_name = false;
    while (!line.empty()) {
        std::string_view field = line.substr(0, line.find('\t'));
        line.remove_prefix(std::min(line.size(), field.size() + 1));
        std::string_view::size_type eq = field.find('=');
        if (eq == std::string_view::npos || eq == 0)
            continue;
        has_name |= field.substr(0, eq) == "name";
        apply_field(e, field.substr(0, eq), field.substr(eq + 1), has_level, has_turns);
    }
    if (!has_name || !has_level || !has_turns)
        return std::nullopt;
    return e;
}

std::optional<std::vector<XlogEntry>> best_scores(const std::string& path, std::size_t count)
{
    std::vector<XlogEntry> best;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? std::optional(best) : std::nullopt;
    std::FILE* file = fdopen(fd, "r");
    struct stat st {};
    if (!file || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        file ? std::fclose(file) : ::close(fd);
        errno = EINVAL;
        return std::nullopt;
    }
    std::string line;
    bool too_long = false;
    for (int c; (c = std::getc(file)) != EOF;) {
        if (c != '\n') {
            too_long |= line.size() >= XLOG_LINE_MAX;
            if (!too_long)
                line += static_cast<char>(c);
            continue;
        }
        if (std::optional<XlogEntry> e = too_long ? std::nullopt : parse_xlog_line(line))
            consider(best, std::move(*e), count);
        line.clear();
        too_long = false;
    }
    // A last line without its newline is one a writer has not finished.
    bool failed = std::ferror(file);
    std::fclose(file);
    if (failed)
        return std::nullopt;
    return best;
}

std::string scores_table(const std::vector<XlogEntry>& best)
{
    if (best.empty())
        return "No games finished yet.\n";
    std::string out = " #  " + fit("Name", 15) + " " + fit("Class", 11) + " Level  Turns    Gold  Ended       Death\n";
    char numbers[64];
    for (std::size_t i = 0; i < best.size(); ++i) {
        const XlogEntry& e = best[i];
        std::snprintf(numbers, sizeof numbers, " %5lld %6lld %7lld  ", e.level, e.turns, e.gold);
        char rank[24];
        std::snprintf(rank, sizeof rank, "%2zu  ", i + 1);
        out += rank + fit(e.name, 15) + " " + fit(e.player_class, 11) + numbers + utc_date(e.endtime) + "  " + e.death
            + "\n";
    }
    return out;
}

int print_scores(const std::string& path)
{
    std::optional<std::vector<XlogEntry>> best = best_scores(path, 10);
    if (!best) {
        std::fprintf(stderr, "Cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    std::fputs(scores_table(*best).c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
