#include "tables.h"

#include "base/compat.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixfmt.h>
}

static_assert(NO_PROFILE == AV_PROFILE_UNKNOWN);

const std::array<const char*, 23> EXCLUDED_MUXERS = {
    "mkvtimestamp",
    "mkvtimestamp_v2",
    "crc",
    "framecrc",
    "framemd5",
    "md5",
    "null",
    "a64",
    "sdp",
    "sap",
    "vc1test",
    "image2pipe",
    "SSA (SubStation Alpha) subtitle",
    "FFM (FFserver live feed)",
    "FFmpeg metadata in text",
    "MicroDVD subtitle format",
    "JACOsub subtitle format",
    "RTP output",
    "RTSP output",
    "segment",
    "SubRip subtitle",
    "Multiple muxer tee",
    "YUV4MPEG pipe",
};

const std::array<const char*, 1> EXTRA_CONTAINER_MIME_TYPES = {"application/mxf"};

const std::array<const char*, 3> HEADER_ASKED_MUXERS = {"mxf", "mxf_d10", "mxf_opatom"};

const std::array<MuxerCodecRow, 1> GENERIC_TAG_CODECS = {{
    {"matroska", AV_CODEC_ID_DNXHD},
}};

// Today's FFmpeg has a single ProRes codec id, so each ProRes row appears once
// (older generations carried two ids for it).
const std::array<EncoderLabelRow, 6> ENCODER_LABELS = {{
    {AV_CODEC_ID_H264, "libx264", "libx264 H.264 / AVC"},
    {AV_CODEC_ID_H264, "libx264rgb", "libx264 H.264 / AVC RGB"},
    {AV_CODEC_ID_SVQ1, "svq1", "Sorensen Video / SVQ1"},
    {AV_CODEC_ID_PRORES, "prores_aw", "Apple ProRes (Tesmer)"},
    {AV_CODEC_ID_PRORES, "prores_ks", "Apple ProRes (Ulvard)"},
    {AV_CODEC_ID_PRORES, "prores", "Apple ProRes"},
}};

const std::array<ExtensionOverrideRow, 1> EXTENSION_OVERRIDES = {{
    {"dv", "dv"},
}};

// What the encoders accept at each profile: libx264 refuses a profile below
// the pixels ("Error setting profile high"), libvpx and libaom fail every
// frame, prores_ks writes a 4444 profile over 4:2:2 pixels, and dnxhd takes
// 8 bits in DNxHR LB, SQ and HQ and 10 in HQX and 444 only.
const std::array<ProfilePixelsRow, 25> PROFILE_PIXELS = {{
    {AV_CODEC_ID_PRORES, nullptr, AV_PROFILE_PRORES_PROXY, C422, 0, 16},
    {AV_CODEC_ID_PRORES, nullptr, AV_PROFILE_PRORES_LT, C422, 0, 16},
    {AV_CODEC_ID_PRORES, nullptr, AV_PROFILE_PRORES_STANDARD, C422, 0, 16},
    {AV_CODEC_ID_PRORES, nullptr, AV_PROFILE_PRORES_HQ, C422, 0, 16},
    {AV_CODEC_ID_PRORES, nullptr, AV_PROFILE_PRORES_4444, C444, 0, 16},
    {AV_CODEC_ID_PRORES, nullptr, AV_PROFILE_PRORES_XQ, C444, 0, 16},
    {AV_CODEC_ID_DNXHD, nullptr, AV_PROFILE_DNXHD, C422, 0, 16},
    {AV_CODEC_ID_DNXHD, nullptr, AV_PROFILE_DNXHR_LB, C422, 8, 8},
    {AV_CODEC_ID_DNXHD, nullptr, AV_PROFILE_DNXHR_SQ, C422, 8, 8},
    {AV_CODEC_ID_DNXHD, nullptr, AV_PROFILE_DNXHR_HQ, C422, 8, 8},
    {AV_CODEC_ID_DNXHD, nullptr, AV_PROFILE_DNXHR_HQX, C422, 10, 10},
    {AV_CODEC_ID_DNXHD, nullptr, AV_PROFILE_DNXHR_444, C444, 10, 10},
    {AV_CODEC_ID_H264, "Baseline", NO_PROFILE, C420, 8, 8},
    {AV_CODEC_ID_H264, "Main", NO_PROFILE, C420, 8, 8},
    {AV_CODEC_ID_H264, "High", NO_PROFILE, GRAY | C420, 8, 8},
    {AV_CODEC_ID_H264, "High10", NO_PROFILE, GRAY | C420, 8, 10},
    {AV_CODEC_ID_H264, "High422", NO_PROFILE, GRAY | C420 | C422, 8, 10},
    {AV_CODEC_ID_H264, "High444", NO_PROFILE, GRAY | C420 | C422 | C444, 8, 10},
    {AV_CODEC_ID_VP9, nullptr, AV_PROFILE_VP9_0, C420, 8, 8},
    {AV_CODEC_ID_VP9, nullptr, AV_PROFILE_VP9_1, C422 | C440 | C444, 8, 8},
    {AV_CODEC_ID_VP9, nullptr, AV_PROFILE_VP9_2, C420, 10, 12},
    {AV_CODEC_ID_VP9, nullptr, AV_PROFILE_VP9_3, C422 | C440 | C444, 10, 12},
    {AV_CODEC_ID_AV1, nullptr, AV_PROFILE_AV1_MAIN, GRAY | C420, 8, 10},
    {AV_CODEC_ID_AV1, nullptr, AV_PROFILE_AV1_HIGH, GRAY | C420 | C444, 8, 10},
    {AV_CODEC_ID_AV1, nullptr, AV_PROFILE_AV1_PROFESSIONAL, GRAY | C420 | C422 | C444, 8, 12},
}};

const std::array<ProresProfileRow, 5> PRORES_PROFILES = {{
    {AV_CODEC_ID_PRORES, "apco", "Proxy"},
    {AV_CODEC_ID_PRORES, "apcs", "LT"},
    {AV_CODEC_ID_PRORES, "apcn", "Standard"},
    {AV_CODEC_ID_PRORES, "apch", "High quality"},
    {AV_CODEC_ID_PRORES, "ap4h", "Prores 4444"},
}};

const std::array<ProfileOptionRow, 17> PROFILE_OPTIONS = {{
    {AV_CODEC_ID_H264, "libx264", "Baseline", "profile", "baseline", false, NO_PROFILE},
    {AV_CODEC_ID_H264, "libx264", "Main", "profile", "main", false, NO_PROFILE},
    {AV_CODEC_ID_H264, "libx264", "High", "profile", "high", true, NO_PROFILE},
    {AV_CODEC_ID_H264, "libx264", "High10", "profile", "high10", false, NO_PROFILE},
    {AV_CODEC_ID_H264, "libx264", "High422", "profile", "high422", false, NO_PROFILE},
    {AV_CODEC_ID_H264, "libx264", "High444", "profile", "high444", false, NO_PROFILE},
    {AV_CODEC_ID_AAC, "libvo_aacenc", "AAC-Low", nullptr, nullptr, true, AV_PROFILE_AAC_LOW},
    {AV_CODEC_ID_AAC, "aac", "AAC-Low", nullptr, nullptr, true, AV_PROFILE_AAC_LOW},
    {AV_CODEC_ID_AAC, "libfaac", "AAC-Low", nullptr, nullptr, true, AV_PROFILE_AAC_LOW},
    {AV_CODEC_ID_AAC, "libfaac", "AAC-SSR", nullptr, nullptr, false, AV_PROFILE_AAC_SSR},
    {AV_CODEC_ID_AAC, "libfaac", "AAC-LTP", nullptr, nullptr, false, AV_PROFILE_AAC_LTP},
    {AV_CODEC_ID_AAC, "libaacplus", "AAC-Low", nullptr, nullptr, true, AV_PROFILE_AAC_LOW},
    {AV_CODEC_ID_AAC, "libfdk_aac", "AAC-Low", nullptr, nullptr, true, AV_PROFILE_AAC_LOW},
    {AV_CODEC_ID_AAC, "libfdk_aac", "AAC-HE", nullptr, nullptr, false, AV_PROFILE_AAC_HE},
    {AV_CODEC_ID_AAC, "libfdk_aac", "AAC-HE V2", nullptr, nullptr, false, AV_PROFILE_AAC_HE_V2},
    {AV_CODEC_ID_AAC, "libfdk_aac", "AAC-LD", nullptr, nullptr, false, AV_PROFILE_AAC_LD},
    {AV_CODEC_ID_AAC, "libfdk_aac", "AAC-ELD", nullptr, nullptr, false, AV_PROFILE_AAC_ELD},
}};

const std::array<int32_t, 16> FALLBACK_PIXEL_FORMATS = {
    AV_PIX_FMT_YUV420P,  AV_PIX_FMT_YUYV422,  AV_PIX_FMT_RGB24,    AV_PIX_FMT_BGR24,
    AV_PIX_FMT_YUV422P,  AV_PIX_FMT_YUV444P,  AV_PIX_FMT_GRAY8,    AV_PIX_FMT_PAL8,
    AV_PIX_FMT_RGBA,     AV_PIX_FMT_BGRA,     AV_PIX_FMT_GRAY16LE, AV_PIX_FMT_YUV440P,
    AV_PIX_FMT_RGB48LE,  AV_PIX_FMT_BGR48LE,  AV_PIX_FMT_RGBA64LE, AV_PIX_FMT_BGRA64LE,
};
