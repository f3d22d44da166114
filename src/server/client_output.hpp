// One joined client's output: an ordered queue that a writer thread of its
// own sends on the socket without blocking, so that nobody holding the game
// lock ever waits on this client's link, and a slow client gets fewer frames
// rather than holding up the others.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class Recorder;

class ClientOutput {
public:
    struct Limits {
        // Output that makes no progress for this long cuts the client off.
        std::chrono::milliseconds stall { 60000 };
        // Text (not frames) waiting to go out beyond this cuts the client off.
        std::size_t text_bytes { 64 * 1024 };
    };

    // fd stays owned by the caller and must outlive this object.
    ClientOutput(int fd, Limits limits);
    ~ClientOutput();
    ClientOutput(const ClientOutput&) = delete;
    ClientOutput& operator=(const ClientOutput&) = delete;

    // Starts the writer; false when no thread could be started.
    bool start();

    // Every frame and text queued from now on is also queued to recorder
    // (none stops it), as the client's terminal shows it. The seat owns the
    // recorder; this only shares it while the seat is this client's.
    void record_to(std::shared_ptr<Recorder> recorder);

    // Later leaves the writer asleep until wake(): a caller holding the game
    // lock wakes it after letting go, so that the woken writer cannot
    // preempt the lock holder.
    enum class Wake { Now, Later };

    // A full frame. Every frame redraws the whole screen, so a frame still
    // waiting behind the one going out is replaced. frame is taken, and a
    // spare buffer comes back in its place.
    void push_frame(std::string& frame, Wake wake = Wake::Now);
    void wake();

    // Text is never dropped and keeps its place among the frames.
    void push_text(std::string_view text);

    // Shows screen, then keeps later frames back for pause. A pause that has
    // not started yet is not queued twice.
    void push_pause(std::string_view screen, std::chrono::milliseconds pause);

    // Sends prompt, then keeps frames queued from now on back until
    // end_hold, so that a redraw does not erase a prompt being answered.
    void begin_hold(std::string_view prompt = {});
    void end_hold();

    // The last text: nothing queued after it is taken.
    void close_with(std::string_view text);

    // Sends what is queued (without pausing), then stops the writer. After
    // linger without finishing, the socket is shut down.
    void finish(std::chrono::milliseconds linger);

    // For a reload: park keeps everything queued from now on back, as
    // begin_hold does, and cuts a pause short; wait_parked waits until the
    // writer has sent what came before and stopped, or has ended, and is
    // false when that did not happen by until. resume lets the writer go on.
    void park();
    bool wait_parked(std::chrono::steady_clock::time_point until);
    void resume();
    // After close_with: waits for the writer to end; false when it had not by until.
    bool wait_done(std::chrono::steady_clock::time_point until);

    // Why the client was cut off (its output stalled, too much text waited,
    // or a send failed), or empty while it was not.
    std::string cut_reason() const;

private:
    enum class Kind : unsigned char { Frame, Text, Pause, Hold, Park };
    struct Item {
        Kind kind;
        // A frame handed to an idle writer counts as started and is never
        // replaced, so a client that keeps up sees every frame.
        bool committed;
        std::string bytes;
        std::chrono::milliseconds pause {};
    };

    void run();
    // The bytes as they go out; only the writer calls it.
    std::string_view on_the_wire(const std::string& bytes);
    // Empty when all was sent, else why not.
    std::string send_all(std::string_view data);
    void wait_after(const Item& item, std::unique_lock<std::mutex>& lock);
    void cut_locked(std::string reason);
    bool idle_locked() const { return !m_busy && m_items.empty(); }
    bool push_text_locked(Kind kind, std::string_view text, std::chrono::milliseconds pause = {});
    void record_locked(std::string_view bytes);

    const int m_fd;
    const Limits m_limits;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Item> m_items;
    std::string m_spare;
    std::size_t m_text_bytes { 0 };
    bool m_busy { false };
    bool m_holding { false };
    // A reload asked the writer to stop (at the Park item), and it has.
    bool m_parking { false };
    bool m_parked { false };
    bool m_finishing { false };
    bool m_cut { false };
    std::string m_cut_reason;
    bool m_done { false };
    // The writer's own: the last byte sent was CR; the converted text.
    bool m_sent_cr { false };
    std::string m_converted;
    std::shared_ptr<Recorder> m_recorder;
    bool m_recorded_cr { false };
    std::string m_record_buffer;
    std::thread m_writer;
};
