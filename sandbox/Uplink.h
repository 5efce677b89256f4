#ifndef UPLINK_H
#define UPLINK_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

// One uplink that every upload shares, as a user's connection would: photo
// bodies are read no faster than its rate, all of them together (off, rate
// 0, unless the sandbox is told one). It also measures how well a client
// keeps it fed: the bytes through it, and the share of the time from the
// first upload's start to the last one's answer during which at least one
// upload was under way.
class Uplink
{
public:
    using Clock = std::chrono::steady_clock;

    explicit Uplink(std::int64_t bytesPerSecond = 0) : m_rate(bytesPerSecond) { }

    void setRate(std::int64_t bytesPerSecond) { m_rate = std::max<std::int64_t>(bytesPerSecond, 0); }
    std::int64_t rate() const { return m_rate; }

    // Returns once length more bytes have had their time on the link.
    void pass(std::size_t length)
    {
        Clock::time_point due;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_bytes += std::int64_t(length);
            const std::int64_t rate = m_rate;
            if (rate <= 0)
                return;
            m_free = std::max(m_free, Clock::now()) + std::chrono::nanoseconds(std::int64_t(length) * 1000000000 / rate);
            due = m_free;
        }
        std::this_thread::sleep_until(due);
    }

    // An upload starts, or has been answered.
    void begin()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const Clock::time_point now = Clock::now();
        if (m_uploads++ == 0)
            m_busySince = now;
        if (m_first == Clock::time_point())
            m_first = now;
    }
    void end()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_last = Clock::now();
        if (--m_uploads == 0)
            m_busy += m_last - m_busySince;
    }

    // Of the time from the first upload's start to the last one's answer,
    // the share with an upload under way (0 to 1; 0 before any).
    double busyShare() const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const double span = std::chrono::duration<double>(m_last - m_first).count();
        return span > 0 ? std::chrono::duration<double>(m_busy).count() / span : 0;
    }
    std::int64_t bytes() const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes;
    }
    void reset()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_bytes = 0;
        m_busy = Clock::duration::zero();
        m_free = m_first = m_last = m_busySince = Clock::time_point();
    }

    // Counts an upload for as long as it lives.
    struct Upload
    {
        explicit Upload(Uplink &uplink) : m_uplink(uplink) { m_uplink.begin(); }
        ~Upload() { m_uplink.end(); }
        Upload(const Upload &) = delete;
        Upload &operator=(const Upload &) = delete;
        Uplink &m_uplink;
    };

private:
    std::atomic<std::int64_t> m_rate;
    mutable std::mutex m_mutex;
    Clock::time_point m_free; // when the link is free again
    Clock::time_point m_first, m_last, m_busySince;
    Clock::duration m_busy = Clock::duration::zero();
    int m_uploads = 0;
    std::int64_t m_bytes = 0;
};

#endif // UPLINK_H
