// How long game_mutex is held, per command and per broadcast, for the load
// tool's figures; off unless the server's limits ask for them.
#include <algorithm>
#include <cstdio>
#include <string>

#include "server/server.hpp"
#include "server/server_internal.hpp"

namespace {
// Buckets of 100 ns up to 1 ms; the last one collects everything longer.
constexpr int STAT_BUCKETS = 10000;
constexpr long long STAT_BUCKET_NS = 100;

struct Histogram {
    unsigned long long count = 0;
    double total_ns = 0;
    long long max_ns = 0;
    unsigned long long buckets[STAT_BUCKETS] {};

    void add(long long ns)
    {
        ++count;
        total_ns += static_cast<double>(ns);
        max_ns = std::max(max_ns, ns);
        ++buckets[std::clamp<long long>(ns / STAT_BUCKET_NS, 0, STAT_BUCKETS - 1)];
    }

    // The upper edge of the bucket holding that fraction, in microseconds.
    double percentile_us(double fraction) const
    {
        auto want = static_cast<unsigned long long>(fraction * static_cast<double>(count));
        unsigned long long seen = 0;
        for (int i = 0; i < STAT_BUCKETS; ++i) {
            seen += buckets[i];
            if (seen > want)
                return static_cast<double>((i + 1) * STAT_BUCKET_NS) / 1000.0;
        }
        return static_cast<double>(max_ns) / 1000.0;
    }

    void report(const char* what, std::string& out) const
    {
        if (count == 0)
            return;
        char line[200];
        std::snprintf(line, sizeof line, "lock stats %s: n=%llu mean=%.2fus p50<=%.1fus p99<=%.1fus max=%.1fus\n",
                      what, count, total_ns / static_cast<double>(count) / 1000.0, percentile_us(0.50),
                      percentile_us(0.99), static_cast<double>(max_ns) / 1000.0);
        out += line;
    }
};

Histogram g_sections[2];
}  // namespace

void record_lock_time(LockSection section, std::chrono::steady_clock::duration held)
{
    if (server_limits().lock_stats)
        g_sections[static_cast<int>(section)].add(std::chrono::duration_cast<std::chrono::nanoseconds>(held).count());
}

std::string lock_stats_report()
{
    std::string out;
    if (!server_limits().lock_stats)
        return out;
    g_sections[static_cast<int>(LockSection::Command)].report("command", out);
    g_sections[static_cast<int>(LockSection::Broadcast)].report("broadcast", out);
    return out;
}
