// What the web door answers to a plain HTTP request: the page's files, the
// server's status as JSON, and short errors.
#pragma once

#include <boost/beast/http.hpp>
#include <string>

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

// The status document: seats, connections logging in, uptime, version.
std::string status_json();
}  // namespace web
