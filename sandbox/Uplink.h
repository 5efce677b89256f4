#ifndef UPLINK_H
#define UPLINK_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

// One uplink that every upload shares, as a user's connection would: photo
// bodies are read no faster than its rate, all of them together. Off (rate
// 0) unless the sandbox is told a rate. It also counts how busy it was: the
// bytes through it against the time from the first to the last.
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
        const std::int64_t rate = m_rate;
        if (rate <= 0)
            return;
        Clock::time_point due;
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            const Clock::time_point now = Clock::now();
            if (m_bytes == 0)
                m_first = now;
            m_free = std::max(m_free, now) + std::chrono::nanoseconds(std::int64_t(length) * 1000000000 / rate);
            m_bytes += std::int64_t(length);
            due = m_last = m_free;
        }
        std::this_thread::sleep_until(due);
    }

    // Of the time from the first byte to the last, the share the link was
    // busy (0 to 1); 0 before any byte.
    double busyShare() const
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const double span = std::chrono::duration<double>(m_last - m_first).count();
        const std::int64_t rate = m_rate;
        return rate > 0 && span > 0 ? double(m_bytes) / double(rate) / span : 0;
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
        m_free = m_first = m_last = Clock::time_point();
    }

private:
    std::atomic<std::int64_t> m_rate;
    mutable std::mutex m_mutex;
    Clock::time_point m_free; // when the link is free again
    Clock::time_point m_first, m_last;
    std::int64_t m_bytes = 0;
};

#endif // UPLINK_H
