// What the web door answers to a plain HTTP request: the page's files, the
// server's status as JSON, the xlogfile and the best scores, and short errors.
#pragma once

#include <boost/beast/http.hpp>
#include <cstdint>
#include <string>
#include <string_view>

namespace web {
namespace http = boost::beast::http;

using Request = http::request<http::empty_body>;
using Response = http::response<http::string_body>;

// The answer to a request that is not a WebSocket upgrade. refusal is set
// to a line for the event log when the request was refused.
Response answer(const Request& req, std::string& refusal);

// A short error with its reason as the body; the connection closes after it
// unless keep_alive.
Response error_response(http::status status, unsigned version, bool keep_alive);

// A text answer with the door's own headers and a length for its body.
Response plain_response(http::status status, unsigned version, bool keep_alive, std::string_view type, std::string body);

// The status document: seats, connections logging in, uptime, version.
std::string status_json();

// What a Range header asks of a file of total bytes, first and last
// inclusive. A header this door does not take (another unit, several
// ranges, bad syntax) gives the whole file, as a server may ignore it.
struct ByteRange {
    enum Kind { Whole, Part, Unsatisfiable } kind { Whole };
    std::uint64_t first { 0 };
    std::uint64_t last { 0 };
};
ByteRange choose_range(std::string_view header, std::uint64_t total);

// At most this much of the file goes into one answer; a larger range is cut
// to it, and Content-Range tells the reader where to go on.
constexpr std::uint64_t XLOG_ANSWER_MAX = 16u << 20;

// The xlogfile of the working directory, whole or the one range asked for;
// an empty one before the first game ends. why is set, for the log, when it
// cannot be read.
Response xlogfile_response(const Request& req, std::string& why);

// The best ten games as a small HTML page.
Response scores_page(const Request& req, std::string& why);
}  // namespace web
