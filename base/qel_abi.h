// Binary records and codes shared with the host. Offsets are fixed by the
// host's descriptor format; the static_asserts keep them honest.
#pragma once

#include <cstddef>
#include <cstdint>

struct _image_str;  // host image, opaque to the module
struct VlIContext;  // host image context, opaque to the module

struct QEL_Host {
    uint8_t reserved[96];
    void* (*get_suite)(const char* suite_name);
    void* node;
    void* plugin_data;
};
static_assert(offsetof(QEL_Host, get_suite) == 96, "QEL_Host.get_suite");
static_assert(offsetof(QEL_Host, node) == 104, "QEL_Host.node");
static_assert(offsetof(QEL_Host, plugin_data) == 112, "QEL_Host.plugin_data");
static_assert(sizeof(QEL_Host) >= 120, "QEL_Host size");

struct QEL_InfoRecord {
    const char* category;
    const char* name;
    const char* description;
    const char* vendor;
    const char* copyright;
    const char* identifier;
    int32_t value48;
    int32_t value52;
    int32_t value56;
    uint8_t zero60[4];
    const char* empty64;
    int32_t value72;
    int32_t value76;
    const char* none80;
    int32_t value88;
    uint8_t zero92[4];
    uint64_t zero96[4];
    int32_t value128;
    uint8_t zero132[4];
    uint64_t zero136;
};
static_assert(sizeof(QEL_InfoRecord) == 144, "QEL_Info is 144 bytes");
static_assert(offsetof(QEL_InfoRecord, empty64) == 64, "QEL_Info.64");
static_assert(offsetof(QEL_InfoRecord, none80) == 80, "QEL_Info.80");
static_assert(offsetof(QEL_InfoRecord, value128) == 128, "QEL_Info.128");

struct QEL_CtrlAction {
    uint32_t control_id;
};

struct QEL_OutputInfo {
    const char* extension;
    uint64_t zero8;
    int32_t zero16;
    int32_t value20;
    uint64_t zero24;
    uint8_t value32;
    uint8_t audio_only;
};
static_assert(offsetof(QEL_OutputInfo, value20) == 20, "QEL_OutputInfo.20");
static_assert(offsetof(QEL_OutputInfo, audio_only) == 33, "QEL_OutputInfo.33");

struct QEL_FrameParams {
    double frame;
    _image_str* image;
    int32_t width;
    int32_t height;
    int32_t channels;
    int32_t image_format;
    const char* path;
    const char* timecode;
    const char* reel_id;
    double fps;
    int32_t field_order;
};
static_assert(offsetof(QEL_FrameParams, path) == 32, "QEL_FrameParams.path");
static_assert(offsetof(QEL_FrameParams, fps) == 56, "QEL_FrameParams.fps");
static_assert(offsetof(QEL_FrameParams, field_order) == 64, "QEL_FrameParams.field_order");

enum QelAction : uint32_t {
    ACTION_INIT = 0,
    ACTION_EXIT = 1,
    ACTION_PROCESS = 7,
    ACTION_CONTROL = 15,
    ACTION_RESTORE = 29,
    ACTION_OUTPUT_INFO = 40,
};

// Entry numbers of the suites the module calls.
enum CtrlEntry : int {
    CTRL_ADD_LABEL = 1,
    CTRL_ADD_CHOICE = 9,
    CTRL_ADD_TOGGLE = 10,
    CTRL_ADD_NUMBER = 11,
    CTRL_PLACE = 20,
    CTRL_ENABLE = 22,
    CTRL_DISABLE = 23,
    CTRL_SET_SELECTABLE = 24,
    CTRL_SET_FIXED = 25,
    CTRL_GET_BOOL = 33,
    CTRL_SET_BOOL = 34,
    CTRL_GET_INT = 35,
    CTRL_SET_INT = 36,
    CTRL_SET_CHOICES = 81,
};

enum NodeEntry : int {
    NODE_AUDIO_FORMAT = 6,
    NODE_READ_AUDIO = 11,
    NODE_METADATA_AT = 12,
    NODE_METADATA_COUNT = 13,
    NODE_METADATA_KEY = 14,
    NODE_METADATA_VALUE = 15,
    NODE_METADATA_RELEASE = 23,
};

enum ImageEntry : int {
    IMAGE_DATA = 0,
    IMAGE_ENTRY1 = 1,
    IMAGE_IS_DIRECT = 5,
};

// Virtual operation numbers of host objects (element K of the object's table).
enum HostVirtual : int {
    NODE_SEGMENT_AT = 77,
    NODE_SEGMENT_CONTEXT = 163,
    ICONTEXT_COPY = 9,
    ICONTEXT_COMPLETE = 10,
};

using QelLogFunction = void (*)(const char* format, ...);
using QelCtrlAddLabel = uint32_t (*)(const char* text);
using QelCtrlAddChoice = uint32_t (*)(const char* id, const char* label, const char* choices, int32_t initial_index);
using QelCtrlAddToggle = uint32_t (*)(const char* id, const char* label, bool initial, bool flag);
using QelCtrlAddNumber = uint32_t (*)(const char* id, const char* label, double initial, double minimum,
                                      double maximum, double increment, bool flag);
using QelCtrlPlace = void (*)(uint32_t control, float row, float column, float width, float height);
using QelCtrlEnable = void (*)(uint32_t control, bool on);
using QelCtrlControl = void (*)(uint32_t control);
using QelCtrlGetBool = bool (*)(uint32_t control);
using QelCtrlSetBool = void (*)(uint32_t control, bool value);
using QelCtrlGetInt = int32_t (*)(uint32_t control);
using QelCtrlSetInt = void (*)(uint32_t control, int32_t value);
using QelCtrlSetChoices = void (*)(uint32_t control, const char* choices);

using QelNodeAudioFormat = bool (*)(double* rate, int32_t* bits, int32_t* bytes, int32_t* channels, int32_t* flags);
using QelNodeReadAudio = int64_t (*)(double rate, int32_t bits, int32_t bytes_per_sample, int32_t flags,
                                     uint32_t channel_mask, double start_seconds, int64_t count, void* buffer,
                                     int64_t buffer_size);
using QelNodeMetadataAt = void* (*)(double frame);
using QelNodeMetadataCount = int32_t (*)(void* handle);
using QelNodeMetadataText = const char* (*)(void* handle, int32_t index);
using QelNodeMetadataRelease = void (*)(void* handle);

using QelImageData = void* (*)(_image_str* image);
using QelImageIsDirect = bool (*)(_image_str* image);

using QelSegmentContext = int32_t (*)(void* self, int32_t zero);
using QelSegmentAt = int32_t (*)(void* self, double frame, int32_t* context);
using QelICopy = void (*)(void* self, _image_str* destination, _image_str* source);
using QelIComplete = void (*)(void* self, _image_str* destination);

extern "C" {
bool QEL_KorvexAction(QEL_Host* host, uint32_t action, void* params);
}
