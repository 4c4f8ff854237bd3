#include "decode_ahead.h"

namespace qelhost {

DecodeAhead::DecodeAhead(size_t samples, int depth, Maker maker) : m_maker(std::move(maker)) {
    for (int i = 0; i < depth; ++i) m_free.emplace_back(samples);
    m_thread = std::thread([this] { run(); });
}

DecodeAhead::~DecodeAhead() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void DecodeAhead::run() {
    for (;;) {
        std::vector<uint16_t> buffer;
        {
            std::unique_lock<std::mutex> guard(m_lock);
            m_changed.wait(guard, [this] { return m_stopping || !m_free.empty(); });
            if (m_stopping) return;
            buffer = std::move(m_free.front());
            m_free.pop_front();
        }
        const Made made = m_maker(buffer);
        std::lock_guard<std::mutex> guard(m_lock);
        if (made != Made::picture) {
            m_last = made;
            m_finished = true;
            m_changed.notify_all();
            return;
        }
        m_ready.push_back(std::move(buffer));
        m_changed.notify_all();
    }
}

DecodeAhead::Made DecodeAhead::take(std::vector<uint16_t>& samples) {
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait(guard, [this] { return !m_ready.empty() || m_finished; });
    if (m_ready.empty()) return m_last;
    samples = std::move(m_ready.front());
    m_ready.pop_front();
    return Made::picture;
}

void DecodeAhead::give_back(std::vector<uint16_t> samples) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_free.push_back(std::move(samples));
    }
    m_changed.notify_all();
}

}  // namespace qelhost
