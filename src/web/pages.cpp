#include "web/pages.hpp"

#include <cstdio>

#include "log/log.hpp"
#include "server/server.hpp"
#include "web/assets.hpp"
#include "world/game.hpp"

namespace web {
namespace {
// Scripts and styles come from this server only; xterm.js sets styles of
// its own at run time.
constexpr const char* PAGE_POLICY = "default-src 'self'; style-src 'self' 'unsafe-inline'; img-src 'self' data:";

// A JSON string. Chat names are already free of control bytes; the escapes
// make sure of it anyway.
void append_json_string(std::string& out, std::string_view text)
{
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    out += '"';
}

const WebAsset* find_asset(std::string_view path)
{
    for (const WebAsset& a : web_assets())
        if (a.path == path)
            return &a;
    return nullptr;
}

Response asset_response(const Request& req, const WebAsset& asset)
{
    // The files change only with the program: a browser keeps them and asks
    // each time whether they are still current.
    if (req[http::field::if_none_match] == asset.etag) {
        Response res = plain_response(http::status::not_modified, req.version(), req.keep_alive(), asset.type, {});
        res.set(http::field::etag, asset.etag);
        return res;
    }
    std::string type = std::string(asset.type) + "; charset=utf-8";
    Response res = plain_response(http::status::ok, req.version(), req.keep_alive(), type, std::string(asset.body));
    res.set(http::field::etag, asset.etag);
    res.set(http::field::cache_control, "no-cache");
    if (asset.path == "/") {
        res.set("Content-Security-Policy", PAGE_POLICY);
        res.set("X-Frame-Options", "DENY");
    }
    return res;
}

std::string refusal_line(const Request& req, http::status status)
{
    return std::to_string(static_cast<unsigned>(status)) + " " + std::string(req.method_string()) + " "
        + log_quote(req.target());
}
}  // namespace

Response plain_response(http::status status, unsigned version, bool keep_alive, std::string_view type, std::string body)
{
    Response res { status, version };
    res.set(http::field::server, "mzDELVE");
    res.set(http::field::content_type, type);
    res.set("X-Content-Type-Options", "nosniff");
    res.keep_alive(keep_alive);
    res.body() = std::move(body);
    res.prepare_payload();
    return res;
}

Response error_response(http::status status, unsigned version, bool keep_alive)
{
    std::string body = std::to_string(static_cast<unsigned>(status)) + " " + std::string(http::obsolete_reason(status)) + "\n";
    return plain_response(status, version, keep_alive, "text/plain; charset=utf-8", std::move(body));
}

std::string status_json()
{
    ServerStatus s = server_status();
    std::string out = "{\"version\":\"" DELVE_VERSION "\",\"uptime_s\":" + std::to_string(s.uptime_s)
        + ",\"logging_in\":" + std::to_string(s.logging_in) + ",\"seats\":[";
    for (std::size_t i = 0; i < s.seats.size(); ++i) {
        const SeatStatus& seat = s.seats[i];
        out += i ? ",{\"name\":" : "{\"name\":";
        append_json_string(out, seat.name);
        out += ",\"class\":";
        append_json_string(out, class_name(seat.player_class));
        out += ",\"level\":" + std::to_string(seat.level) + ",\"hp\":" + std::to_string(seat.hp) + ",\"max_hp\":"
            + std::to_string(seat.max_hp) + ",\"state\":\"" + seat.state + "\",\"idle_s\":" + std::to_string(seat.idle_s)
            + ",\"watchers\":" + std::to_string(seat.watchers) + "}";
    }
    return out + "]}\n";
}

Response answer(const Request& req, std::string& refusal)
{
    std::string_view target = req.target();
    std::string_view path = target.substr(0, target.find('?'));
    auto refuse = [&](http::status status, bool keep_alive) {
        refusal = refusal_line(req, status);
        return error_response(status, req.version(), keep_alive && req.keep_alive());
    };
    if (req.method() != http::verb::get && req.method() != http::verb::head) {
        Response res = refuse(http::status::method_not_allowed, true);
        res.set(http::field::allow, "GET, HEAD");
        return res;
    }
    if (path == "/play") {
        // The game is only a WebSocket; a plain request is told to upgrade.
        Response res = refuse(http::status::upgrade_required, false);
        res.set(http::field::upgrade, "websocket");
        res.set(http::field::connection, "Upgrade");
        return res;
    }
    if (path == "/status.json") {
        Response res = plain_response(http::status::ok, req.version(), req.keep_alive(), "application/json", status_json());
        res.set(http::field::cache_control, "no-store");
        return res;
    }
    if (path == "/xlogfile" || path == "/scores") {
        std::string why;
        Response res = path == "/scores" ? scores_page(req, why) : xlogfile_response(req, why);
        if (!why.empty())
            refusal = refusal_line(req, res.result()) + " " + why;
        return res;
    }
    if (const WebAsset* asset = find_asset(path))
        return asset_response(req, *asset);
    return refuse(http::status::not_found, true);
}
}  // namespace web
