// What a trial found, kept for the life of the process. Trials open encoders
// and write files, so each is made once; instances on different threads ask
// at once, so the table is locked for its look-ups but not for a trial, which
// may take a while and ask another cache.
#pragma once

#include <map>
#include <mutex>

template <typename Key, typename Value>
class TrialCache {
public:
    // The value kept for `key`, found by `trial()` the first time. The
    // reference stays valid: nothing is ever removed.
    template <typename Trial>
    const Value& find(const Key& key, Trial trial) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            const auto found = m_known.find(key);
            if (found != m_known.end()) return found->second;
        }
        Value value = trial();
        std::lock_guard<std::mutex> lock(m_lock);
        // Two threads may have tried at once; the first answer is the one kept.
        return m_known.emplace(key, std::move(value)).first->second;
    }

private:
    std::mutex m_lock;
    std::map<Key, Value> m_known;
};
