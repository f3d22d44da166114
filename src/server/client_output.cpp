#include "server/client_output.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>

#include "records/recorder.hpp"
#include "term/line_reader.hpp"

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

ClientOutput::ClientOutput(int fd, Limits limits) : m_fd(fd), m_limits(limits) {}

ClientOutput::~ClientOutput()
{
    finish(std::chrono::milliseconds(0));
}

bool ClientOutput::start()
{
    try {
        m_writer = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void ClientOutput::record_to(std::shared_ptr<Recorder> recorder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recorder = std::move(recorder);
    m_recorded_cr = false;
}

// Text gets its line ends as the wire does, so that a player of the
// recording draws no staircase either; the buffer is kept, so this
// allocates only while it grows.
void ClientOutput::record_locked(std::string_view bytes)
{
    if (!m_recorder || bytes.empty())
        return;
    bool after_cr = m_recorded_cr;
    m_recorded_cr = bytes.back() == '\r';
    if (bytes.find('\n') == std::string_view::npos) {
        m_recorder->push(bytes);
        return;
    }
    m_record_buffer.clear();
    append_network_lines(m_record_buffer, bytes, after_cr);
    m_recorder->push(m_record_buffer);
}

void ClientOutput::push_frame(std::string& frame, Wake wake)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_cut || m_finishing) {
        frame.clear();
        return;
    }
    // Recorded whatever the link lets through: the recording shows what the
    // game drew, thinned only by the recorder's own replacing of redraws.
    if (m_recorder)
        m_recorder->push_redraw(frame);
    std::string spare;
    auto waiting = std::find_if(m_items.begin(), m_items.end(),
                                [](const Item& i) { return i.kind == Kind::Frame && !i.committed; });
    if (waiting != m_items.end()) {
        spare = std::move(waiting->bytes);
        m_items.erase(waiting);
    } else {
        spare = std::move(m_spare);
    }
    m_items.push_back({ Kind::Frame, idle_locked(), std::move(frame) });
    frame = std::move(spare);
    frame.clear();
    lock.unlock();
    if (wake == Wake::Now)
        m_changed.notify_all();
}

void ClientOutput::wake()
{
    m_changed.notify_all();
}

bool ClientOutput::push_text_locked(Kind kind, std::string_view text, std::chrono::milliseconds pause)
{
    if (m_cut || m_finishing)
        return false;
    if (m_text_bytes + text.size() > m_limits.text_bytes) {
        cut_locked("too much output waiting");
        return false;
    }
    if (text.empty() && kind == Kind::Text)
        return true;
    m_text_bytes += text.size();
    record_locked(text);
    m_items.push_back({ kind, true, std::string(text), pause });
    m_changed.notify_all();
    return true;
}

void ClientOutput::push_text(std::string_view text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    push_text_locked(Kind::Text, text);
}

void ClientOutput::push_pause(std::string_view screen, std::chrono::milliseconds pause)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::any_of(m_items.begin(), m_items.end(), [](const Item& i) { return i.kind == Kind::Pause; }))
        return;
    push_text_locked(Kind::Pause, screen, pause);
}

void ClientOutput::begin_hold(std::string_view prompt)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (push_text_locked(Kind::Text, prompt))
        m_items.push_back({ Kind::Hold, true, {} });
}

void ClientOutput::close_with(std::string_view text)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    push_text_locked(Kind::Text, text);
    m_finishing = true;
    m_changed.notify_all();
}

void ClientOutput::end_hold()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto hold = std::find_if(m_items.begin(), m_items.end(), [](const Item& i) { return i.kind == Kind::Hold; });
    if (hold != m_items.end())
        m_items.erase(hold);
    else
        m_holding = false;
    m_changed.notify_all();
}

void ClientOutput::finish(std::chrono::milliseconds linger)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_finishing = true;
    m_changed.notify_all();
    if (!m_writer.joinable())
        return;
    // A client that does not read its last bytes must not keep this thread.
    if (!m_changed.wait_for(lock, linger, [this] { return m_done; }))
        shutdown(m_fd, SHUT_RDWR);
    lock.unlock();
    m_writer.join();
}

void ClientOutput::park()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_parking = true;
    m_items.push_back({ Kind::Park, true, {} });
    m_changed.notify_all();
}

bool ClientOutput::wait_parked(Clock::time_point until)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // A writer held for a prompt stays held while parking, so it sends nothing either.
    return m_changed.wait_until(lock, until, [this] { return m_holding || m_parked || m_done || m_cut; });
}

void ClientOutput::resume()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_parking = false;
        auto park = std::find_if(m_items.begin(), m_items.end(), [](const Item& i) { return i.kind == Kind::Park; });
        if (park != m_items.end())
            m_items.erase(park);
    }
    m_changed.notify_all();
}

bool ClientOutput::wait_done(Clock::time_point until)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_until(lock, until, [this] { return m_done; });
}

std::string ClientOutput::cut_reason() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_cut_reason;
}

// The reader of this client's socket sees the shutdown as the end of input
// and takes the client out of the game.
void ClientOutput::cut_locked(std::string reason)
{
    if (!m_cut)
        m_cut_reason = std::move(reason);
    m_cut = true;
    m_items.clear();
    m_text_bytes = 0;
    shutdown(m_fd, SHUT_RDWR);
    m_changed.notify_all();
}

void ClientOutput::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return !m_items.empty() || m_finishing || m_cut; });
        if (m_cut || m_items.empty())
            break;
        Item item = std::move(m_items.front());
        m_items.pop_front();
        m_busy = true;
        if (item.kind == Kind::Text || item.kind == Kind::Pause)
            m_text_bytes -= item.bytes.size();
        if (!item.bytes.empty()) {
            lock.unlock();
            std::string failed = send_all(on_the_wire(item.bytes));
            lock.lock();
            if (!failed.empty()) {
                cut_locked(std::move(failed));
                break;
            }
        }
        wait_after(item, lock);
        if (item.kind == Kind::Frame && m_spare.capacity() < item.bytes.capacity()) {
            item.bytes.clear();
            m_spare = std::move(item.bytes);
        }
        m_busy = false;
    }
    m_busy = false;
    m_done = true;
    m_changed.notify_all();
}

void ClientOutput::wait_after(const Item& item, std::unique_lock<std::mutex>& lock)
{
    if (item.kind == Kind::Pause) {
        m_changed.wait_for(lock, item.pause, [this] { return m_finishing || m_cut || m_parking; });
    } else if (item.kind == Kind::Hold) {
        m_holding = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return (!m_holding && !m_parking) || m_finishing || m_cut; });
        m_holding = false;
    } else if (item.kind == Kind::Park) {
        m_parked = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return !m_parking || m_finishing || m_cut; });
        m_parked = false;
    }
}

// Every line end a client is sent goes out as CR LF, whoever wrote the
// text: terminals in raw or character mode would draw a staircase of bare
// line feeds. Frames place the cursor themselves and pass unchanged.
std::string_view ClientOutput::on_the_wire(const std::string& bytes)
{
    bool after_cr = m_sent_cr;
    m_sent_cr = bytes.back() == '\r';
    if (bytes.find('\n') == std::string::npos)
        return bytes;
    m_converted.clear();
    append_network_lines(m_converted, bytes, after_cr);
    return m_converted;
}

// Sends everything unless the peer stops taking bytes for the stall limit
// or the connection fails. Progress of any size restarts the limit, so a
// slow but moving link is never cut off.
std::string ClientOutput::send_all(std::string_view data)
{
    auto deadline = Clock::now() + m_limits.stall;
    while (!data.empty()) {
        ssize_t n = send(m_fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
            deadline = Clock::now() + m_limits.stall;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return n == 0 ? "connection closed" : std::string("send failed: ") + std::strerror(errno);
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return "output stalled for " + std::to_string(m_limits.stall.count()) + " ms";
        struct pollfd p { m_fd, POLLOUT, 0 };
        if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 1 << 30))) < 0 && errno != EINTR)
            return std::string("poll failed: ") + std::strerror(errno);
    }
    return {};
}
