// The "Node" suite and the node object's timeline queries.
#include "node.h"
#include "standin_host.h"
#include "suite_tables.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qelhost {

struct MetadataHandle {
    double frame;
    MetadataEntries entries;
};

AudioClip AudioClip::tone(double rate, int32_t channels, int32_t bits) {
    AudioClip clip;
    clip.rate = rate;
    clip.channels = channels;
    clip.bits = bits;
    clip.bytes = int32_t((int64_t(bits) + 7) / 8);  // a host may say any width
    clip.sample = [rate](int channel, int64_t index) {
        return tone_level * std::sin(2.0 * M_PI * tone_pitch(channel) * double(index) / rate);
    };
    return clip;
}

NodeServices::~NodeServices() {
    for (MetadataHandle* handle : m_live) delete handle;
}

void NodeServices::clear_history() {
    m_reads.clear();
    m_metadataRequests = 0;
    m_metadataReleases = 0;
    m_segmentQueries = 0;
}

bool NodeServices::audio_format(double* rate, int32_t* bits, int32_t* bytes, int32_t* channels, int32_t* flags) {
    if (!rate || !bits || !bytes || !channels || !flags) {
        m_faults.add("Node: audio_format with a null output");
        return false;
    }
    const AudioClip empty{};
    const AudioClip& clip = audio ? *audio : empty;
    *rate = clip.rate;
    *bits = clip.bits;
    *bytes = clip.bytes;
    *channels = audio ? clip.channels : 0;
    *flags = clip.flags;
    return audio.has_value();
}

namespace {

// One sample in `bytes` little-endian bytes, scaled for `bits`: unsigned
// around 128 up to 8 bits, signed above.
void store_sample(uint8_t* out, double value, int32_t bits, int32_t bytes) {
    value = std::clamp(value, -1.0, 1.0);
    int64_t code;
    if (bits <= 8) {
        code = std::lround(128.0 + value * 127.0);
    } else {
        const double full = double((int64_t(1) << (std::min(bits, 32) - 1)) - 1);
        code = std::llround(value * full);
    }
    for (int32_t b = 0; b < bytes; ++b) out[b] = uint8_t(uint64_t(code) >> (8 * std::min(b, 7)));
}

}  // namespace

int64_t NodeServices::read_audio(double rate, int32_t bits, int32_t bytes_per_sample, int32_t flags,
                                 uint32_t channel_mask, double start_seconds, int64_t count, void* buffer,
                                 int64_t buffer_size) {
    AudioRead read{rate, bits, bytes_per_sample, flags, channel_mask, start_seconds, count, buffer_size, 0};
    if (!audio || !buffer || count <= 0 || bytes_per_sample <= 0 || channel_mask == 0) {
        if (!audio) m_faults.add("Node: read_audio on a clip without audio");
        m_reads.push_back(read);
        return 0;
    }
    std::vector<int> selected;
    for (int c = 0; c < 32 && c < audio->channels; ++c)
        if (channel_mask & (1u << c)) selected.push_back(c);
    if (channel_mask >> std::min(audio->channels, 31))
        m_faults.add("Node: read_audio asks for channels the clip does not have");

    const int64_t frameBytes = int64_t(selected.size()) * bytes_per_sample;
    const int64_t first = std::llround(start_seconds * rate);
    int64_t n = std::min(count, frameBytes > 0 ? buffer_size / frameBytes : 0);
    if (audio->length >= 0) n = std::clamp<int64_t>(audio->length - first, 0, n);

    auto* out = static_cast<uint8_t*>(buffer);
    for (int64_t i = 0; i < n; ++i)
        for (int c : selected) {
            const double value = audio->sample ? audio->sample(c, first + i) : 0.0;
            store_sample(out, value, bits, bytes_per_sample);
            out += bytes_per_sample;
        }
    read.delivered = n;
    m_reads.push_back(read);
    return misreport ? misreport(n) : n;
}

void* NodeServices::metadata_at(double frame) {
    ++m_metadataRequests;
    std::optional<MetadataEntries> entries = metadata ? metadata(frame) : std::nullopt;
    if (!entries) return nullptr;
    auto* handle = new MetadataHandle{frame, std::move(*entries)};
    m_live.insert(handle);
    return handle;
}

MetadataHandle* NodeServices::live(void* handle, const char* entry) {
    auto* h = static_cast<MetadataHandle*>(handle);
    if (m_live.count(h)) return h;
    m_faults.add(std::string("Node: ") + entry + " on a handle that is not live");
    return nullptr;
}

int32_t NodeServices::metadata_count(void* handle) {
    MetadataHandle* h = live(handle, "metadata_count");
    return h ? int32_t(h->entries.size()) : 0;
}

const char* NodeServices::metadata_text(void* handle, int32_t index, bool key) {
    const char* entry = key ? "metadata_key" : "metadata_value";
    MetadataHandle* h = live(handle, entry);
    if (!h) return nullptr;
    if (index < 0 || size_t(index) >= h->entries.size()) {
        m_faults.add(std::string("Node: ") + entry + " index " + std::to_string(index) + " out of range");
        return nullptr;
    }
    const auto& pair = h->entries[size_t(index)];
    return (key ? pair.first : pair.second).c_str();
}

const char* NodeServices::metadata_key(void* handle, int32_t index) { return metadata_text(handle, index, true); }

const char* NodeServices::metadata_value(void* handle, int32_t index) { return metadata_text(handle, index, false); }

void NodeServices::metadata_release(void* handle) {
    ++m_metadataReleases;
    if (!handle) return;
    if (MetadataHandle* h = live(handle, "metadata_release")) {
        m_live.erase(h);
        delete h;
    }
}

int32_t NodeServices::segment_context(int32_t zero) {
    if (zero != 0) m_faults.add("node: segment_context called with " + std::to_string(zero));
    return SEGMENT_CONTEXT;
}

int32_t NodeServices::segment_at(double frame, const int32_t* context) {
    ++m_segmentQueries;
    if (!context || *context != SEGMENT_CONTEXT) m_faults.add("node: segment_at without the segment context");
    return int32_t(std::count_if(cuts.begin(), cuts.end(), [frame](double cut) { return cut <= frame; }));
}

namespace {

NodeServices& node() { return require_active_host("Node").node(); }

bool audio_format(double* rate, int32_t* bits, int32_t* bytes, int32_t* channels, int32_t* flags) {
    return node().audio_format(rate, bits, bytes, channels, flags);
}
int64_t read_audio(double rate, int32_t bits, int32_t bytes_per_sample, int32_t flags, uint32_t channel_mask,
                   double start_seconds, int64_t count, void* buffer, int64_t buffer_size) {
    return node().read_audio(rate, bits, bytes_per_sample, flags, channel_mask, start_seconds, count, buffer,
                             buffer_size);
}
void* metadata_at(double frame) { return node().metadata_at(frame); }
int32_t metadata_count(void* handle) { return node().metadata_count(handle); }
const char* metadata_key(void* handle, int32_t index) { return node().metadata_key(handle, index); }
const char* metadata_value(void* handle, int32_t index) { return node().metadata_value(handle, index); }
void metadata_release(void* handle) { node().metadata_release(handle); }

// Operations of the node object: `self` is the object, as for a member call.
int32_t segment_context(void* self, int32_t zero) {
    return static_cast<NodeObject*>(self)->host->node().segment_context(zero);
}
int32_t segment_at(void* self, double frame, int32_t* context) {
    return static_cast<NodeObject*>(self)->host->node().segment_at(frame, context);
}

}  // namespace

const FunctionTable& node_suite_table() {
    static const FunctionTable table = [] {
        FunctionTable t = trap_table(SUITE_NODE);
        t[6] = entry_pointer(&audio_format);
        t[11] = entry_pointer(&read_audio);
        t[12] = entry_pointer(&metadata_at);
        t[13] = entry_pointer(&metadata_count);
        t[14] = entry_pointer(&metadata_key);
        t[15] = entry_pointer(&metadata_value);
        t[23] = entry_pointer(&metadata_release);
        return t;
    }();
    return table;
}

const FunctionTable& node_object_table() {
    static const FunctionTable table = [] {
        FunctionTable t = trap_table(NODE_OBJECT_TABLE);
        t[77] = entry_pointer(&segment_at);
        t[163] = entry_pointer(&segment_context);
        return t;
    }();
    return table;
}

}  // namespace qelhost
