// The host's metadata of a frame: fetched once per frame whoever asks first
// (the opening frame tags the file, every frame tags itself), released
// exactly once, and the opening frame's entries told to the host's log.
#pragma once

#include "writer/settings/writer_settings.h"

#include <optional>
#include <vector>

// The host's metadata of one frame, released exactly once. Its entries are
// read once, into a list the output keeps from frame to frame.
class FrameMetadata {
public:
    FrameMetadata(double frame, std::vector<MetadataPair>& pairs);
    ~FrameMetadata();
    FrameMetadata(const FrameMetadata&) = delete;
    FrameMetadata& operator=(const FrameMetadata&) = delete;

    bool present() const { return m_handle != nullptr; }
    const std::vector<MetadataPair>& pairs() const { return m_pairs; }

private:
    void* m_handle = nullptr;
    bool m_acquired = false;
    std::vector<MetadataPair>& m_pairs;
};

using FrameMetadataSlot = std::optional<FrameMetadata>;
// The frame's metadata, fetched once for the frame whoever asks first, its
// entries read into `pairs`.
const FrameMetadata& metadata_of(FrameMetadataSlot& slot, double frame, std::vector<MetadataPair>& pairs);

// The opening frame's entries, told to the host's log as "key = value".
void echo(const std::vector<MetadataPair>& pairs);
