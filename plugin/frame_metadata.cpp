// Reading a frame's metadata from the host's node, once per frame, and releasing it.
#include "frame_metadata.h"

#include "base/host_services.h"
#include "base/log.h"

FrameMetadata::FrameMetadata(double frame, std::vector<MetadataPair>& pairs) : m_pairs(pairs) {
    m_pairs.clear();
    if (auto at = suite_entry<QelNodeMetadataAt>(g_suites.node, NODE_METADATA_AT)) {
        m_handle = at(frame);
        m_acquired = true;
    }
    auto count = suite_entry<QelNodeMetadataCount>(g_suites.node, NODE_METADATA_COUNT);
    auto key = suite_entry<QelNodeMetadataText>(g_suites.node, NODE_METADATA_KEY);
    auto value = suite_entry<QelNodeMetadataText>(g_suites.node, NODE_METADATA_VALUE);
    if (!m_handle || !count || !key || !value) return;
    const int32_t n = count(m_handle);
    for (int32_t i = 0; i < n; ++i) {
        MetadataPair pair{key(m_handle, i), value(m_handle, i)};
        if (!pair.key || !pair.value) continue;  // FFmpeg dictionaries take no null key
        m_pairs.push_back(pair);
    }
}

FrameMetadata::~FrameMetadata() {
    auto release = suite_entry<QelNodeMetadataRelease>(g_suites.node, NODE_METADATA_RELEASE);
    if (m_acquired && release) release(m_handle);
}

const FrameMetadata& metadata_of(FrameMetadataSlot& slot, double frame, std::vector<MetadataPair>& pairs) {
    if (!slot) slot.emplace(frame, pairs);
    return *slot;
}

void echo(const std::vector<MetadataPair>& pairs) {
    auto info = suite_entry<QelLogFunction>(g_suites.log, LOG_INFO);
    if (!info) return;
    for (const MetadataPair& pair : pairs) info("%s = %s", pair.key, pair.value);
}
