// The host's clip as the module sees it through the "Node" suite and the
// node object: audio format and samples, per-frame metadata, timeline cuts.
#pragma once

#include "faults.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace qelhost {

// The clip's audio. Samples are produced on request in the width the module
// asks for; `sample` gives channel c's value at sample index i in [-1, 1].
struct AudioClip {
    double rate = 48000;
    int32_t bits = 16;
    int32_t bytes = 2;  // what audio_format reports; the module works out its own
    int32_t channels = 2;
    int32_t flags = 0;
    int64_t length = -1;  // samples per channel; -1 = as many as asked for
    std::function<double(int channel, int64_t index)> sample;

    // A quiet sine per channel, each at its own pitch (440 Hz, 550 Hz, ...).
    static AudioClip tone(double rate = 48000, int32_t channels = 2, int32_t bits = 16);
    static constexpr double tone_level = 0.25;
    static double tone_pitch(int channel) { return 440.0 * (1.0 + 0.25 * channel); }
};

// What the module asked read_audio for, and what it got.
struct AudioRead {
    double rate;
    int32_t bits;
    int32_t bytes_per_sample;
    int32_t flags;
    uint32_t channel_mask;
    double start_seconds;
    int64_t count;
    int64_t buffer_size;
    int64_t delivered;
};

using MetadataEntries = std::vector<std::pair<std::string, std::string>>;

// The per-frame metadata handles the host gives out and takes back.
struct MetadataHandle;

class NodeServices {
public:
    explicit NodeServices(FaultLog& faults) : m_faults(faults) {}
    ~NodeServices();
    NodeServices(const NodeServices&) = delete;
    NodeServices& operator=(const NodeServices&) = delete;

    // --- what the host holds; tests set these ---
    std::optional<AudioClip> audio;  // none: audio_format answers false
    // Metadata of a frame; none gives a null handle. Unset: every frame has none.
    std::function<std::optional<MetadataEntries>(double frame)> metadata;
    // Frames at which a new timeline segment starts; segment_at counts those <= frame.
    std::vector<double> cuts;
    // A host that miscounts: read_audio answers this for what it delivered.
    std::function<int64_t(int64_t delivered)> misreport;

    // --- "Node" suite entries ---
    bool audio_format(double* rate, int32_t* bits, int32_t* bytes, int32_t* channels, int32_t* flags);
    int64_t read_audio(double rate, int32_t bits, int32_t bytes_per_sample, int32_t flags, uint32_t channel_mask,
                       double start_seconds, int64_t count, void* buffer, int64_t buffer_size);
    void* metadata_at(double frame);
    int32_t metadata_count(void* handle);
    const char* metadata_key(void* handle, int32_t index);
    const char* metadata_value(void* handle, int32_t index);
    void metadata_release(void* handle);

    // --- node object operations ---
    int32_t segment_context(int32_t zero);
    int32_t segment_at(double frame, const int32_t* context);

    // --- what happened ---
    const std::vector<AudioRead>& audio_reads() const { return m_reads; }
    int metadata_requests() const { return m_metadataRequests; }
    int metadata_releases() const { return m_metadataReleases; }  // null handles included
    size_t live_metadata_handles() const { return m_live.size(); }
    int segment_queries() const { return m_segmentQueries; }
    void clear_history();

    // The context value segment_context hands out; segment_at wants it back.
    static constexpr int32_t SEGMENT_CONTEXT = 0x5E6;

private:
    MetadataHandle* live(void* handle, const char* entry);
    const char* metadata_text(void* handle, int32_t index, bool key);

    FaultLog& m_faults;
    std::vector<AudioRead> m_reads;
    std::set<MetadataHandle*> m_live;
    int m_metadataRequests = 0;
    int m_metadataReleases = 0;
    int m_segmentQueries = 0;
};

}  // namespace qelhost
