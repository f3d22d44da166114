// The web page's files, built into the program from web/ at build time.
#pragma once

#include <span>
#include <string_view>

struct WebAsset {
    std::string_view path;  // as requested, "/" for the page itself
    std::string_view type;  // the media type; every file is UTF-8 text
    std::string_view etag;  // quoted, from the file's SHA-256
    std::string_view body;
};

std::span<const WebAsset> web_assets();
