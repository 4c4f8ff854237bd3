// Rendering as the host does it: one ACTION_PROCESS per frame of a clip, then
// a request with an empty path that finalises the output.
#pragma once

#include "node.h"
#include "picture.h"

extern "C" {
#include <libavutil/timecode.h>
}

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qelhost {

class StandinHost;

// "HH:MM:SS:FF" at the frame rate rounded to whole frames.
std::string format_timecode(int64_t frame, double fps);

// A timeline's timecode counted on from its first frame's, as the host
// counts: drop-frame (';') at 29.97 and 59.94, and past 23:59:59 back to 0.
class TimecodeCounter {
public:
    // "HH:MM:SS:FF", or "HH:MM:SS;FF" for drop-frame, at the host's rate.
    // Nothing when the text is no timecode at that rate; `error` says why.
    static std::optional<TimecodeCounter> parse(const std::string& first, double fps, std::string& error);
    std::string at(int64_t frame) const;

private:
    AVTimecode m_timecode{};
    int64_t m_framesPerDay = 1;
};

// A clip the host renders: pictures and, optionally, sound.
class ClipSource {
public:
    virtual ~ClipSource() = default;
    virtual int32_t width() const = 0;
    virtual int32_t height() const = 0;
    virtual int32_t channels() const { return 4; }
    virtual double fps() const = 0;
    virtual int64_t frame_count() const = 0;
    // Fills the picture (width x height x channels) with frame `frame`; false
    // when the frame cannot be produced.
    virtual bool draw(int64_t frame, Picture& picture) = 0;
    virtual std::optional<AudioClip> audio() const { return std::nullopt; }
    virtual std::string timecode(int64_t frame) const {
        return m_timecode ? m_timecode->at(frame) : format_timecode(frame, fps());
    }
    virtual std::optional<std::string> reel_id() const { return std::nullopt; }
    // The host's number: 0 progressive, 1 upper field first, 2 lower field first.
    virtual int32_t field_order() const { return m_fieldOrder; }
    // Frames where a new timeline segment begins.
    virtual std::vector<double> cuts() const { return {}; }
    // False for a clip whose pictures come one after the other only: a
    // render of a later range then draws the frames before it unsent.
    virtual bool any_frame_first() const { return true; }

    // What the timeline sets for any clip on it.
    void set_first_timecode(const TimecodeCounter& counter) { m_timecode = counter; }
    void set_field_order(int32_t order) { m_fieldOrder = order; }

private:
    std::optional<TimecodeCounter> m_timecode;
    int32_t m_fieldOrder = 0;
};

// What a clip drawn from nothing is: its pictures' shape and rate, its
// length, its sound and its cuts.
struct ClipShape {
    int32_t width = 320;
    int32_t height = 240;
    int32_t channels = 4;
    double fps = 25;
    int64_t frames = 25;
    std::optional<AudioClip> audio;
    std::vector<double> cuts;
};

// A clip drawn from nothing: its shape answers all but the picture.
class DrawnClip : public ClipSource {
public:
    explicit DrawnClip(ClipShape shape) : m_shape(std::move(shape)) {}

    int32_t width() const override { return m_shape.width; }
    int32_t height() const override { return m_shape.height; }
    int32_t channels() const override { return m_shape.channels; }
    double fps() const override { return m_shape.fps; }
    int64_t frame_count() const override { return m_shape.frames; }
    std::optional<AudioClip> audio() const override { return m_shape.audio; }
    std::vector<double> cuts() const override { return m_shape.cuts; }

private:
    ClipShape m_shape;
};

// The moving test picture of Picture::draw_test_pattern, with optional tone.
class TestPatternClip : public DrawnClip {
public:
    using Settings = ClipShape;
    using DrawnClip::DrawnClip;
    bool draw(int64_t frame, Picture& picture) override;
};

struct RenderOptions {
    std::string path;
    int64_t split = 0;     // a new output every `split` frames ("name_1.ext", ...); 0 = one output
    // The range of the clip's frames sent, as a farm task renders its part
    // of a timeline; the last -1 for the clip's end.
    int64_t first_frame = 0;
    int64_t last_frame = -1;
    bool direct = true;    // false: pictures the module has to copy first
    // Called after each frame's request with its result.
    std::function<void(int64_t frame, bool ok)> progress;
    // Asked before each frame: true stops the render there, and the output
    // is finalised with what it has.
    std::function<bool()> stop;
    // Called before the final request that finalises the output.
    std::function<void()> before_finish;
};

struct RenderResult {
    int64_t requests = 0;  // frame requests sent
    int64_t failed = 0;    // frame requests the module refused
    bool finished = false; // the final empty-path request succeeded
    double finish_seconds = 0;  // how long that request took: the module's finish of the last output
    bool stopped = false;  // `stop` ended the render before the clip's end
    std::string first_timecode, last_timecode;  // of the frames sent; empty when none was
    std::vector<std::string> paths;
    bool ok() const { return failed == 0 && finished; }
};

// The output path of part `index` when a render is split.
std::string split_path(const std::string& path, int64_t index);

// Sends the clip through an initialised instance. The host's node serves the
// clip's audio and cuts for the duration; the instance stays alive.
RenderResult render(StandinHost& host, ClipSource& clip, const RenderOptions& options);

}  // namespace qelhost
