// The encoders a container can carry: those of its default codec first, then
// those of every codec its tag tables name, each encoder once.
#include "catalogue.h"
#include "tables.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstring>

namespace {

// FFmpeg keeps the row type of AVOutputFormat.codec_tag private. Its rows are
// {codec id, tag}; each table ends with a row whose id is AV_CODEC_ID_NONE.
struct CodecTagRow {
    enum AVCodecID id;
    unsigned int tag;
};

bool holds_name(const EncoderList& list, const char* name) {
    return std::any_of(list.begin(), list.end(),
                       [name](const EncoderEntry& entry) { return entry.name && std::strcmp(entry.name, name) == 0; });
}

const char* label_for(const AVCodec& codec) {
    for (const EncoderLabelRow& row : ENCODER_LABELS)
        if (row.codec_id == codec.id && std::strcmp(row.encoder, codec.name) == 0)
            return (row.label && row.label[0]) ? row.label : codec.long_name;
    return codec.long_name;
}

}  // namespace

void add_encoders(int32_t codec_id, EncoderList& list, bool want_video, bool want_audio, bool is_default) {
    if (codec_id == AV_CODEC_ID_NONE) {
        if (want_video && !holds_name(list, NO_VIDEO_TEXT))
            list.push_back({0, NO_VIDEO_TEXT, NO_VIDEO_TEXT, AVMEDIA_TYPE_VIDEO, false});
        if (want_audio && !holds_name(list, NO_AUDIO_TEXT))
            list.push_back({0, NO_AUDIO_TEXT, NO_AUDIO_TEXT, AVMEDIA_TYPE_AUDIO, false});
        return;
    }
    void* cursor = nullptr;
    while (const AVCodec* codec = av_codec_iterate(&cursor)) {
        if (codec->id != codec_id || !av_codec_is_encoder(codec)) continue;
        const bool wanted = (codec->type == AVMEDIA_TYPE_VIDEO && want_video) ||
                            (codec->type == AVMEDIA_TYPE_AUDIO && want_audio);
        if (!wanted || holds_name(list, codec->name)) continue;
        list.push_back({codec->id, codec->name, label_for(*codec), codec->type, is_default});
    }
}

void add_container_encoders(const AVOutputFormat& muxer, EncoderList& list, bool video) {
    const AVCodecID default_codec = video ? muxer.video_codec : muxer.audio_codec;
    if (default_codec != AV_CODEC_ID_NONE) add_encoders(default_codec, list, video, !video, true);
    if (!muxer.codec_tag) return;
    for (const AVCodecTag* const* table = muxer.codec_tag; *table; ++table) {
        for (auto row = reinterpret_cast<const CodecTagRow*>(*table); row->id != AV_CODEC_ID_NONE; ++row)
            add_encoders(row->id, list, video, !video, row->id == default_codec);
    }
}
