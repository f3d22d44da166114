// The xlogfile: one line per finished game in the tab-separated key=value
// form that tournament sites and bots read, appended whole so that writers
// in several processes never interleave; and the best games as a table.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Relative to the working directory, which for the service is its state directory.
constexpr const char* XLOGFILE = "xlogfile";

// Each text value is cut to this many bytes (at a character boundary).
constexpr std::size_t XLOG_VALUE_MAX = 200;
// A reader skips longer lines: no writer of ours makes one.
constexpr std::size_t XLOG_LINE_MAX = 4096;

struct XlogEntry {
    std::string version;
    std::string name;     // chat name
    std::string account;
    std::string player_class;
    long long level { 0 };  // deepest dungeon level
    long long turns { 0 };
    long long gold { 0 };
    long long hp { 0 };
    long long maxhp { 0 };
    std::string death;      // "killed by <monster>", "quit", "left"
    long long party { 0 };  // players in the party at the end
    long long starttime { 0 };  // Unix seconds
    long long endtime { 0 };
};

// The line with its newline. Tabs, line breaks and every other control byte
// are removed from the values (so no value can start a field or a line of
// its own); '=' stays, since a reader splits a field at its first '='.
std::string format_xlog_line(const XlogEntry& entry);

// Appends the line with one write to a file opened with O_APPEND, so that a
// concurrent writer's line lands before or after it, never inside; a file
// whose last line was torn by a crash gets a line break first. False, and
// logged, when the whole line could not be written. File I/O: call it off
// the game lock.
bool append_xlog(const std::string& path, const XlogEntry& entry);

// A line read back; unknown keys are skipped, text values made safe again.
// None unless it has a name and whole numbers for level and turns.
std::optional<XlogEntry> parse_xlog_line(std::string_view line);

// The best count games of the file, deepest level first, then fewest turns,
// then the earlier end. A missing file has none; none (with errno set) when
// it exists but cannot be read.
std::optional<std::vector<XlogEntry>> best_scores(const std::string& path, std::size_t count);

// The table mzDELVE --scores prints; a line of its own when there are none.
std::string scores_table(const std::vector<XlogEntry>& best);

// mzDELVE --scores: the table of the best 10 on standard output; the exit
// status, 1 with a message on standard error when the file cannot be read.
int print_scores(const std::string& path);
