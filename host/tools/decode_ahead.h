// Pictures made a few frames ahead on a thread of the host's own, so that
// decoding a source and the module's work on the frame before overlap.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qelhost {

class DecodeAhead {
public:
    enum class Made { picture, end, failure };
    // Fills the buffer given (of `samples` samples) with the next picture.
    using Maker = std::function<Made(std::vector<uint16_t>&)>;

    DecodeAhead(size_t samples, int depth, Maker maker);
    ~DecodeAhead();
    DecodeAhead(const DecodeAhead&) = delete;
    DecodeAhead& operator=(const DecodeAhead&) = delete;

    // Waits for the next picture and moves it into `samples`; the end or a
    // failure otherwise.
    Made take(std::vector<uint16_t>& samples);
    // A buffer of the same size to make a later picture in.
    void give_back(std::vector<uint16_t> samples);

private:
    void run();

    Maker m_maker;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::vector<uint16_t>> m_free;
    std::deque<std::vector<uint16_t>> m_ready;
    Made m_last = Made::picture;  // what ended the thread, once it has
    bool m_finished = false;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace qelhost
