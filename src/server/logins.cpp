// What a login costs the server: failed logins slow their own address down,
// and key derivations take turns, so that guessing passwords can neither go
// fast nor take the cores from the game.
#include <algorithm>
#include <chrono>
#include <thread>

#include "accounts/accounts.hpp"
#include "log/log.hpp"
#include "server/server.hpp"
#include "server/server_internal.hpp"

namespace {
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds FIRST_WAIT { 1000 };
constexpr milliseconds LONGEST_WAIT { 30000 };
// Each derivation keeps a core busy for a tenth of a second or so; two of
// the machine's cores at most, whoever asks.
constexpr int DERIVATIONS_AT_ONCE = 2;

Turns& derivation_turns()
{
    static Turns turns(DERIVATIONS_AT_ONCE);
    return turns;
}

// The window is read once, when the first login comes, from limits that are
// set before the server starts.
LoginThrottle& throttle()
{
    static LoginThrottle t(server_limits().login_window);
    return t;
}

}  // namespace

bool Turns::take(Deadline deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    auto free = [this] { return m_free > 0; };
    if (!deadline)
        m_freed.wait(lock, free);
    else if (!m_freed.wait_until(lock, *deadline, free))
        return false;
    --m_free;
    return true;
}

void Turns::give_back()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_free;
    }
    m_freed.notify_one();
}

// An entry quiet for a whole window is free again.
LoginThrottle::Entry* LoginThrottle::find(const PeerAddress& peer, Clock::time_point now)
{
    for (Entry& e : m_entries)
        if (e.failures > 0 && now - e.last <= m_window && e.peer.same_host(peer))
            return &e;
    return nullptr;
}

milliseconds LoginThrottle::wait_for(const PeerAddress& peer, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const Entry* e = find(peer, now);
    if (!e || e->failures < FREE_FAILURES)
        return milliseconds(0);
    int doublings = std::min(e->failures - FREE_FAILURES, 5);
    return std::min(FIRST_WAIT * (1 << doublings), LONGEST_WAIT);
}

bool LoginThrottle::record_failure(const PeerAddress& peer, Clock::time_point now)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Entry* e = find(peer, now);
    if (!e) {
        // A free entry, else the one that has been quiet longest: a flood
        // of addresses forgets the oldest first.
        e = std::min_element(std::begin(m_entries), std::end(m_entries), [&](const Entry& a, const Entry& b) {
            bool a_free = a.failures == 0 || now - a.last > m_window;
            bool b_free = b.failures == 0 || now - b.last > m_window;
            return a_free != b_free ? a_free : a.last < b.last;
        });
        *e = Entry { peer, 0, now };
    }
    // Parallel failures may pass the threshold together; one says so.
    ++e->failures;
    e->last = now;
    return e->failures == FREE_FAILURES;
}

bool ServerKeyGate::enter()
{
    if (m_throttled == Throttled::Yes && !wait_out_throttle())
        return false;
    return derivation_turns().take(m_limit);
}

void ServerKeyGate::leave(AccountOutcome outcome)
{
    derivation_turns().give_back();
    if (m_throttled == Throttled::No)
        return;
    if (outcome != AccountOutcome::WrongPassword && outcome != AccountOutcome::UnknownName)
        return;
    if (throttle().record_failure(m_peer, Clock::now()))
        log_event("throttle %s logins wait after %d failed", m_peer.host().c_str(), LoginThrottle::FREE_FAILURES);
}

// False when the wait would outlast the connection's time limit; it then
// ends at the limit, as any other wait of the dialogue does.
bool ServerKeyGate::wait_out_throttle()
{
    auto now = Clock::now();
    milliseconds wait = throttle().wait_for(m_peer, now);
    if (wait <= milliseconds(0))
        return true;
    auto until = now + wait;
    if (m_limit && *m_limit < until) {
        std::this_thread::sleep_until(*m_limit);
        return false;
    }
    std::this_thread::sleep_until(until);
    return true;
}
