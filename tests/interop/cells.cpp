#include "cells.h"

#include "catalogue/catalogue.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace interop {
namespace {

struct Lists {
    EncoderList video;
    EncoderList audio;
};

// The encoder lists as the panel shows them for a container: "-- NO VIDEO --"
// (or "-- NO AUDIO --") first, then the container's encoders.
Lists encoder_lists(const char* container) {
    Lists lists;
    if (const AVOutputFormat* muxer = find_muxer(container)) {
        list_container_encoders(*muxer, lists.video, true);
        list_container_encoders(*muxer, lists.audio, false);
    }
    return lists;
}

// The panel's reset choice: the first encoder of the container's default codec.
int default_index(const EncoderList& list) {
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].is_default) return int(i);
    return -1;
}

}  // namespace

std::vector<Group> groups() {
    ContainerList containers;
    list_containers(containers);
    std::vector<Group> result;
    for (size_t i = 0; i < containers.size(); ++i) {
        for (bool audioPart : {false, true}) {
            Group group{containers[i].name, int(i), audioPart};
            if (!cells(group).empty()) result.push_back(group);
        }
    }
    return result;
}

std::vector<Cell> cells(const Group& group) {
    const Lists lists = encoder_lists(group.container.c_str());
    const int defaultVideo = default_index(lists.video);
    const int defaultAudio = default_index(lists.audio);
    std::vector<Cell> result;
    if (defaultVideo < 0 || defaultAudio < 0) return result;
    const EncoderList& varied = group.audioPart ? lists.audio : lists.video;
    for (size_t i = 1; i < varied.size(); ++i) {  // entry 0 is the "no stream" choice
        if (group.audioPart && int(i) == defaultAudio) continue;
        const int video = group.audioPart ? defaultVideo : int(i);
        const int audio = group.audioPart ? int(i) : defaultAudio;
        result.push_back({group.container, group.containerIndex, lists.video[size_t(video)].name, video,
                          lists.audio[size_t(audio)].name, audio});
    }
    return result;
}

}  // namespace interop
