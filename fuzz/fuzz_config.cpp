// Feeds arbitrary bytes to the configuration reader as the contents of the
// file; the settings must stay within their limits whatever the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/config.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    reset_config();
    if (size == 0)
        return 0;
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (!file)
        return 0;
    read_config_lines(file);
    std::fclose(file);
    if (server_port() < 1 || server_port() > 65535)
        std::abort();
    if (std::strlen(welcome_message()) > 511)
        std::abort();
    return 0;
}
