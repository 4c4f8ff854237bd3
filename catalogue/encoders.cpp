// The encoders a container can carry: those of its default codec first, then
// those of every codec its tag tables name, each encoder once.
#include "availability.h"
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

bool holds_codec(const EncoderList& list, int32_t codec_id) {
    return std::any_of(list.begin(), list.end(), [codec_id](const EncoderEntry& entry) { return entry.codec_id == codec_id; });
}

bool is_header_asked(const AVOutputFormat& muxer) {
    return std::any_of(HEADER_ASKED_MUXERS.begin(), HEADER_ASKED_MUXERS.end(),
                       [&muxer](const char* name) { return std::strcmp(muxer.name, name) == 0; });
}

// Whether a muxer without codec-tag tables takes a codec: its own answer to
// the codec query where it gives one, its header where it cannot say.
bool muxer_takes(const AVOutputFormat& muxer, AVCodecID id, AVMediaType type) {
    if (is_header_asked(muxer)) {
        void* cursor = nullptr;
        while (const AVCodec* codec = av_codec_iterate(&cursor))
            if (codec->id == id && codec->type == type && av_codec_is_encoder(codec))
                return muxer_writes_header(muxer, *codec);
        return false;
    }
    return avformat_query_codec(&muxer, id, FF_COMPLIANCE_NORMAL) == 1;
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

void add_asked_encoders(const AVOutputFormat& muxer, EncoderList& list, bool video) {
    const AVMediaType type = video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
    for (const AVCodecDescriptor* codec = avcodec_descriptor_next(nullptr); codec;
         codec = avcodec_descriptor_next(codec)) {
        if (codec->type != type || holds_codec(list, codec->id) || !avcodec_find_encoder(codec->id)) continue;
        if (muxer_takes(muxer, codec->id, type)) add_encoders(codec->id, list, video, !video, false);
    }
    for (const MuxerCodecRow& row : GENERIC_TAG_CODECS)
        if (std::strcmp(row.muxer, muxer.name) == 0 && avcodec_get_type(AVCodecID(row.codec_id)) == type &&
            !holds_codec(list, row.codec_id))
            add_encoders(row.codec_id, list, video, !video, false);
}

void list_container_encoders(const AVOutputFormat& muxer, EncoderList& list, bool video) {
    list.clear();
    add_encoders(0, list, video, !video, false);
    add_container_encoders(muxer, list, video);
    add_asked_encoders(muxer, list, video);
    mark_unavailable(muxer, list);
}

bool is_x264_encoder(const char* name) {
    return name && (std::strcmp(name, "libx264") == 0 || std::strcmp(name, "libx264rgb") == 0);
}
