// The finished games for readers on the web: the xlogfile as it stands,
// with byte ranges so that a tournament reader fetches only what is new,
// and the best of them as a page.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "records/xlog.hpp"
#include "term/term.hpp"
#include "web/pages.hpp"

namespace web {
namespace {
// The page has no scripts, no frames and no styles but the door's own.
constexpr const char* SCORES_POLICY = "default-src 'none'; style-src 'self'";

std::string_view trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Range units are case-insensitive.
bool is_bytes_unit(std::string_view unit)
{
    constexpr std::string_view BYTES = "bytes";
    if (unit.size() != BYTES.size())
        return false;
    for (std::size_t i = 0; i < unit.size(); ++i)
        if ((unit[i] | 0x20) != BYTES[i])
            return false;
    return true;
}

// Only digits. A number past 64 bits stays at the largest, which is past
// the end of any file: still a well-formed range, just not one it has.
std::optional<std::uint64_t> digits(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    std::uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        auto d = static_cast<std::uint64_t>(c - '0');
        v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
    }
    return v;
}

// count bytes at offset; none, with why set, when the read fails or the
// file has shrunk since it was measured (our writers only append).
std::optional<std::string> read_at(int fd, std::uint64_t offset, std::uint64_t count, std::string& why)
{
    std::string out(count, '\0');
    std::size_t got = 0;
    while (got < count) {
        ssize_t n = pread(fd, out.data() + got, count - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            why = n < 0 ? std::strerror(errno) : "shrank while read";
            return std::nullopt;
        }
        got += static_cast<std::size_t>(n);
    }
    return out;
}

Response unreadable(const Request& req, std::string& why, const char* what)
{
    why = std::string(XLOGFILE) + ": " + what;
    return error_response(http::status::internal_server_error, req.version(), req.keep_alive());
}

// The size of the xlogfile, 0 when there is none yet; none (why set) when
// it is there but not a readable regular file. It is a file anyone with the
// state directory could replace, so a FIFO or a device must not block us.
std::optional<std::uint64_t> open_xlogfile(UniqueFd& fd, std::string& why)
{
    fd.reset(open(XLOGFILE, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT)
        return 0;
    struct stat st {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0)
        why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    if (!why.empty())
        return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

std::string html_escape(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string utc_time(long long seconds)
{
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm {};
    char text[32] = "";
    if (seconds > 0 && gmtime_r(&t, &tm))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
    return text;
}

std::string score_row(std::size_t rank, const XlogEntry& e)
{
    auto cell = [](std::string_view text) { return "<td>" + html_escape(text) + "</td>"; };
    auto number = [](long long n) { return "<td class=\"n\">" + std::to_string(n) + "</td>"; };
    return "<tr>" + number(static_cast<long long>(rank)) + cell(e.name) + cell(e.player_class) + number(e.level)
        + number(e.turns) + number(e.gold) + cell(e.death) + cell(utc_time(e.endtime)) + "</tr>\n";
}

std::string scores_html(const std::vector<XlogEntry>& best)
{
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                      "<title>Best games - gLOOMhOLD DUNGEON</title>\n<link rel=\"stylesheet\" href=\"/door.css\">\n"
                      "</head>\n<body class=\"page\">\n<h1>Best games</h1>\n";
    if (best.empty()) {
        out += "<p>No games finished yet.</p>\n";
    } else {
        out += "<table>\n<thead><tr><th>#</th><th>Name</th><th>Class</th><th>Level</th><th>Turns</th><th>Gold</th>"
               "<th>Death</th><th>Ended (UTC)</th></tr></thead>\n<tbody>\n";
        for (std::size_t i = 0; i < best.size(); ++i)
            out += score_row(i + 1, best[i]);
        out += "</tbody>\n</table>\n";
    }
    return out + "<p>Deepest level first, then fewest turns. <a href=\"/\">Play</a> &middot; "
                 "<a href=\"/xlogfile\">xlogfile</a></p>\n</body>\n</html>\n";
}
}  // namespace

ByteRange choose_range(std::string_view header, std::uint64_t total)
{
    header = trim(header);
    std::size_t eq = header.find('=');
    if (eq == std::string_view::npos || !is_bytes_unit(trim(header.substr(0, eq))))
        return {};
    std::string_view wanted = trim(header.substr(eq + 1));
    std::size_t dash = wanted.find('-');
    if (dash == std::string_view::npos || wanted.find(',') != std::string_view::npos)
        return {};
    std::optional<std::uint64_t> first = digits(wanted.substr(0, dash));
    std::optional<std::uint64_t> last = digits(wanted.substr(dash + 1));
    if (dash == 0) {
        // The last *last bytes; none of an empty file, and "-0" asks for nothing.
        if (!last)
            return {};
        if (*last == 0 || total == 0)
            return { ByteRange::Unsatisfiable };
        return { ByteRange::Part, total - std::min(*last, total), total - 1 };
    }
    if (!first || (!last && dash + 1 != wanted.size()) || (last && *last < *first))
        return {};
    if (*first >= total)
        return { ByteRange::Unsatisfiable };
    return { ByteRange::Part, *first, last ? std::min(*last, total - 1) : total - 1 };
}

Response xlogfile_response(const Request& req, std::string& why)
{
    UniqueFd fd;
    std::string failure;
    std::optional<std::uint64_t> total = open_xlogfile(fd, failure);
    if (!total)
        return unreadable(req, why, failure.c_str());
    ByteRange range;
    // Ranges are defined for GET alone; and with no validator of ours to
    // compare, an If-Range never holds, which asks for the whole file.
    bool head = req.method() == http::verb::head;
    if (!head && req.count(http::field::if_range) == 0)
        range = choose_range(req[http::field::range], *total);
    if (range.kind == ByteRange::Unsatisfiable) {
        // A reader polling for new bytes gets this until a game ends: no log line.
        Response res = error_response(http::status::range_not_satisfiable, req.version(), req.keep_alive());
        res.set(http::field::content_range, "bytes */" + std::to_string(*total));
        res.set(http::field::accept_ranges, "bytes");
        return res;
    }
    if (range.kind == ByteRange::Whole && *total > 0)
        range.last = *total - 1;
    bool cut = *total > 0 && range.last - range.first >= XLOG_ANSWER_MAX;
    if (cut)
        range.last = range.first + XLOG_ANSWER_MAX - 1;
    std::uint64_t length = *total > 0 ? range.last - range.first + 1 : 0;
    std::optional<std::string> body = std::string();
    if (!head && length > 0 && !(body = read_at(fd.get(), range.first, length, failure)))
        return unreadable(req, why, failure.c_str());
    bool partial = range.kind == ByteRange::Part || cut;
    Response res = plain_response(partial ? http::status::partial_content : http::status::ok, req.version(),
                                  req.keep_alive(), "text/plain; charset=utf-8", std::move(*body));
    if (head)
        res.content_length(length);
    res.set(http::field::accept_ranges, "bytes");
    res.set(http::field::cache_control, "no-store");
    if (partial)
        res.set(http::field::content_range, "bytes " + std::to_string(range.first) + "-" + std::to_string(range.last)
                                                + "/" + std::to_string(*total));
    return res;
}

Response scores_page(const Request& req, std::string& why)
{
    std::optional<std::vector<XlogEntry>> best = best_scores(XLOGFILE, 10);
    if (!best)
        return unreadable(req, why, std::strerror(errno));
    Response res = plain_response(http::status::ok, req.version(), req.keep_alive(), "text/html; charset=utf-8",
                                  scores_html(*best));
    res.set(http::field::cache_control, "no-store");
    res.set("Content-Security-Policy", SCORES_POLICY);
    res.set("X-Frame-Options", "DENY");
    return res;
}
}  // namespace web
