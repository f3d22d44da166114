#include "app/app.hpp"

#include <cstdio>

#include "app/config.hpp"

// Placeholder entry until the start-up code lands.
int run_app(int, char**)
{
    load_config();
    std::puts("gLOOMhOLD DUNGEON");
    return 0;
}
