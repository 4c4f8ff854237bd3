#include "movie_input.h"

#include "base/error_text.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace join {

const AVStream* MovieInput::pictures() const { return video >= 0 ? input->streams[video] : nullptr; }
const AVStream* MovieInput::sound() const { return audio >= 0 ? input->streams[audio] : nullptr; }

bool open_movie(const std::string& path, bool probe, MovieInput& movie, std::string& why) {
    AVFormatContext* opened = nullptr;
    int result = avformat_open_input(&opened, path.c_str(), nullptr, nullptr);
    movie.input.reset(opened);
    if (result >= 0 && probe) result = avformat_find_stream_info(opened, nullptr);
    if (result < 0) {
        why = ffmpeg_error_text(result);
        return false;
    }
    for (unsigned i = 0; i < opened->nb_streams; ++i) {
        const AVMediaType type = opened->streams[i]->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO && movie.video < 0) movie.video = int(i);
        if (type == AVMEDIA_TYPE_AUDIO && movie.audio < 0) movie.audio = int(i);
    }
    return true;
}

}  // namespace join
