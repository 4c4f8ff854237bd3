// The host's metadata of a frame: fetched once per frame whoever asks first
// (the opening frame tags the file, every frame tags itself), released
// exactly once, and the opening frame's entries told to the host's log.
#pragma once

#include "writer/writer_settings.h"

#include <optional>
#include <vector>

// The host's metadata of one frame, released exactly once.
class FrameMetadata {
public:
    explicit FrameMetadata(double frame);
    ~FrameMetadata();
    FrameMetadata(const FrameMetadata&) = delete;
    FrameMetadata& operator=(const FrameMetadata&) = delete;

    bool present() const { return m_handle != nullptr; }
    std::vector<MetadataPair> pairs() const;

private:
    void* m_handle = nullptr;
    bool m_acquired = false;
};

using FrameMetadataSlot = std::optional<FrameMetadata>;
// The frame's metadata, fetched once for the frame whoever asks first.
const FrameMetadata& metadata_of(FrameMetadataSlot& slot, double frame);

// The opening frame's entries, told to the host's log as "key = value".
void echo(const std::vector<MetadataPair>& pairs);
