// Farm segments joined by qeljoin, held against one render of the same clip.
#include "boxes/boxes.h"
#include "common/media_probe.h"
#include "common/other_readers.h"
#include "common/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string BUILD = QEL_BUILD_DIR;
constexpr int FRAMES = 60;
// A GOP of 12: the cuts below fall on it at 12, 24, 36 and 48, off it elsewhere.
const std::string CLIP = "--frames 60 --size 320x240 --set klavkeyframes=12";
const std::map<int, std::vector<std::string>> CUTS = {
    {2, {"0-23", "24-59"}},
    {4, {"0-11", "12-29", "30-47", "48-59"}},
    {7, {"0-8", "9-17", "18-26", "27-35", "36-44", "45-51", "52-59"}},
};

class Scratch : public ::testing::Test {
protected:
    void SetUp() override {
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name)
            if (c == '/') c = '_';
        dir = (fs::temp_directory_path() / ("qeljoin-" + std::to_string(getpid()) + "-" + name)).string();
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(dir);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    CommandResult in_dir(const std::string& command) const { return run_command("cd '" + dir + "' && " + command); }
    CommandResult render(const std::string& arguments) const {
        return in_dir("'" + BUILD + "/qelhost' render " + arguments + " >/dev/null");
    }
    CommandResult join(const std::string& arguments) const { return in_dir("'" + BUILD + "/qeljoin' " + arguments); }
    // Segments of `output` for each range, as farm tasks render them.
    void render_segments(const std::string& clip, const std::string& output, const std::vector<std::string>& ranges) {
        for (const std::string& range : ranges) {
            const CommandResult made = render(clip + " --set klavsegment=1 --range " + range + " -o " + output);
            ASSERT_EQ(made.status, 0) << range << ": " << made.out;
        }
    }
    // Every file below the folder with its size.
    std::vector<std::string> listing() const {
        std::vector<std::string> files;
        for (const auto& entry : fs::recursive_directory_iterator(dir))
            if (entry.is_regular_file())
                files.push_back(entry.path().string() + " " + std::to_string(entry.file_size()));
        std::sort(files.begin(), files.end());
        return files;
    }
    std::string dir;
};

// Read whole, every sample kept, with its packets' and pictures' sums.
const probe::Options HASHED = {false, 0, 0, true, true};

// Per track of a mov/mp4: its sample descriptions and its edit list's
// bytes; and the top-level boxes in order (moov before mdat with faststart).
struct TrackBoxes {
    std::vector<std::string> tracks;
    std::string top;
};
void walk(const uint8_t* from, const uint8_t* to, bool top, TrackBoxes& found) {
    static const std::string containers = "moov trak edts mdia minf stbl";
    std::vector<boxes::ConstBox> children;
    boxes::read_boxes(from, to, children);
    for (const boxes::ConstBox& box : children) {
        const std::string type{char(box.type >> 24), char(box.type >> 16), char(box.type >> 8), char(box.type)};
        if (top && type != "free" && type != "wide") found.top += type + " ";
        if (type == "trak") found.tracks.emplace_back();
        if (type == "stsd" && !found.tracks.empty() && box.size >= 8)
            found.tracks.back() += "stsd entries " + std::to_string(boxes::read_be32(box.body + 4)) + "; ";
        if (type == "elst" && !found.tracks.empty())
            found.tracks.back() += "elst " + std::string(box.begin(), box.end()) + "; ";
        if (containers.find(type) != std::string::npos) walk(box.begin(), box.end(), false, found);
    }
}
TrackBoxes track_boxes(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    TrackBoxes found;
    walk(data.data(), data.data() + data.size(), true, found);
    return found;
}

// What a movie's streams say of themselves, without what a render's clock stamps.
std::string streams(const std::string& file) {
    return probe_streams("-show_entries stream=codec_name,profile,codec_tag_string,width,height,pix_fmt,field_order,"
                         "color_range,color_space,color_primaries,color_transfer,sample_rate,channels,nb_frames:"
                         "stream_tags=timecode,reel_name:format_tags=timecode,title '" + file + "'")
        .out;
}

struct JoinRow {
    const char* name;
    const char* extension;
    const char* sets;
    bool intra;  // every picture stands alone: decoded, they equal the single render's
};
void PrintTo(const JoinRow& row, std::ostream* out) { *out << row.name; }

const JoinRow JOIN_ROWS[] = {
    {"MovX264Aac", "mov", "--set klavformat=mov --set klavvideocodec=libx264 --set klavaudiocodec=aac", false},
    {"MovX264AacFaststart", "mov", "--set klavformat=mov --set klavvideocodec=libx264 --set klavaudiocodec=aac "
                                   "--set klavfaststart=1", false},
    {"MovProresPcm", "mov", "--set klavformat=mov --set klavvideocodec=prores_ks --set klavaudiocodec=pcm_s16le", true},
    {"MovProresPcmFaststart", "mov", "--set klavformat=mov --set klavvideocodec=prores_ks "
                                     "--set klavaudiocodec=pcm_s16le --set klavfaststart=1", true},
    {"MovDnxhdPcm", "mov", "--set klavformat=mov --set klavvideocodec=dnxhd --set klavvidprofile=1 "
                           "--set klavaudiocodec=pcm_s16le", true},
    {"MovDnxhdPcmFaststart", "mov", "--set klavformat=mov --set klavvideocodec=dnxhd --set klavvidprofile=1 "
                                    "--set klavaudiocodec=pcm_s16le --set klavfaststart=1", true},
    {"Mp4X264Aac", "mp4", "--set klavformat=mp4 --set klavvideocodec=libx264 --set klavaudiocodec=aac "
                          "--set klavfaststart=0", false},
    {"Mp4X264AacFaststart", "mp4", "--set klavformat=mp4 --set klavvideocodec=libx264 --set klavaudiocodec=aac "
                                   "--set klavfaststart=1", false},
    // mp4 takes neither ProRes, DNxHD nor PCM: its intra row is PNG with ALAC.
    {"Mp4PngAlac", "mp4", "--set klavformat=mp4 --set klavvideocodec=png --set klavaudiocodec=alac "
                            "--set klavfaststart=0", true},
    {"Mp4PngAlacFaststart", "mp4", "--set klavformat=mp4 --set klavvideocodec=png --set klavaudiocodec=alac "
                                     "--set klavfaststart=1", true},
    {"MkvX264Aac", "mkv", "--set klavformat=matroska --set klavvideocodec=libx264 --set klavaudiocodec=aac", false},
    {"MkvFfv1Flac", "mkv", "--set klavformat=matroska --set klavvideocodec=ffv1 --set klavaudiocodec=flac", true},
    {"MxfMpeg2Pcm", "mxf", "--set klavformat=mxf --set klavvideocodec=mpeg2video --set klavaudiocodec=pcm_s16le",
     false},
};

struct Rate {
    const char* name;
    const char* arguments;
};
const Rate RATES[] = {
    {"At25", "--fps 25 --timecode 10:00:00:00"},
    // Drop-frame timecode; a frame's sound is 1601.6 samples, no whole number of AAC's 1024.
    {"At2997", "--fps 29.97 --timecode '00:59:59;28'"},
};
void PrintTo(const Rate& rate, std::ostream* out) { *out << rate.name; }

class JoinTable : public Scratch, public ::testing::WithParamInterface<std::tuple<JoinRow, Rate>> {};

}  // namespace

// Each cut joins into the movie one render of the whole clip makes: the same
// streams, frames, timecode, tags, sample descriptions and edit lists; intra
// pictures identical; every segment's coded pictures once and in order; and,
// the sound being coded once at the join, the same decoded sound.
TEST_P(JoinTable, JoinsIntoTheSingleRendersMovie) {
    const auto& [row, rate] = GetParam();
    const std::string clip = CLIP + " " + rate.arguments + " " + row.sets;
    const std::string single = std::string("single.") + row.extension;
    const std::string joined = std::string("joined.") + row.extension;
    ASSERT_EQ(render(clip + " -o " + single).status, 0);
    const probe::File reference = probe::read(path(single), HASHED);
    ASSERT_EQ(reference.video_frames, FRAMES) << reference.error_text();
    const bool boxes = row.extension != std::string("mkv") && row.extension != std::string("mxf");
    const std::string wantStreams = streams(path(single));
    const TrackBoxes want = boxes ? track_boxes(path(single)) : TrackBoxes{};
    const int64_t wantMediainfo = mediainfo_frames(path(single));
    for (const auto& [count, ranges] : CUTS) {
        SCOPED_TRACE(std::to_string(count) + " segments");
        ASSERT_NO_FATAL_FAILURE(render_segments(clip, joined, ranges));
        std::vector<std::string> segmentPackets;
        for (const std::string& range : ranges) {
            char name[32];
            std::snprintf(name, sizeof name, "%08d.mov", std::stoi(range));
            const probe::File segment = probe::read(path(joined + ".segments/" + name), HASHED);
            segmentPackets.insert(segmentPackets.end(), segment.packet_hashes.begin(), segment.packet_hashes.end());
        }
        const CommandResult joining = join(joined + " --frames 60 --keep-segments");
        ASSERT_EQ(joining.status, 0) << joining.out;
        const probe::File movie = probe::read(path(joined), HASHED);
        EXPECT_TRUE(movie.errors.empty()) << movie.error_text();
        EXPECT_EQ(movie.video_frames, FRAMES);
        EXPECT_EQ(movie.audio_samples, reference.audio_samples);
        EXPECT_EQ(streams(path(joined)), wantStreams);
        EXPECT_EQ(movie.tag("timecode"), reference.tag("timecode"));
        EXPECT_EQ(movie.packet_hashes, segmentPackets);
        EXPECT_TRUE(movie.samples == reference.samples) << "the decoded sound differs from the single render's";
        if (row.intra) {
            EXPECT_EQ(movie.picture_hashes, reference.picture_hashes);
        }
        if (boxes) {
            const TrackBoxes got = track_boxes(path(joined));
            EXPECT_EQ(got.top, want.top);
            EXPECT_EQ(got.tracks, want.tracks);
        }
        // The other readers, once a row. GStreamer here has no ProRes, DNxHD
        // or FFV1 decoder (and may stall on such a file instead of failing)
        // and spins on any MXF the FFmpeg muxer writes: it reads the H.264 rows.
        if (count == 7 && std::string(row.sets).find("libx264") != std::string::npos) {
            EXPECT_EQ(gstreamer_frames(path(joined), 320, 240), FRAMES);
        }
        if (count == 7) {
            EXPECT_EQ(mediainfo_frames(path(joined)), wantMediainfo);
        }
        fs::remove_all(path(joined + ".segments"));
        fs::remove(path(joined));
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, JoinTable, ::testing::Combine(::testing::ValuesIn(JOIN_ROWS), ::testing::ValuesIn(RATES)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
                         });

namespace {

// Three good segments of joined.mov beside an earlier take of it; each row
// then spoils them its way. `$H` runs qelhost render with the segments'
// settings, `$J` the join of frames 0-59.
struct RefusalRow {
    const char* name;
    const char* spoil;
    const char* command;
    int status;
    const char* says;
};
void PrintTo(const RefusalRow& row, std::ostream* out) { *out << row.name; }

const char* const J = "\"$B/qeljoin\" joined.mov --frames 60";
const RefusalRow REFUSALS[] = {
    {"Missing", "rm joined.mov.segments/00000020.*", J, 1, "frames 20 to 39 of <joined.mov> are in no segment"},
    {"Doubled", "$H --range 30-49 -o joined.mov", J, 1,
     "the segments from frame 20 and from frame 30 both hold frames 30 to 39"},
    {"Unfinished", "rm joined.mov.segments/00000020.*; $H --range 20-39 --crash-after 10 -o joined.mov; true", J, 1,
     "the segment from frame 20 is unfinished"},
    {"Truncated", "truncate -s -1000 joined.mov.segments/00000040.mov", J, 1, "00000040.mov> is truncated"},
    {"OtherSettings", "rm joined.mov.segments/00000020.*; $H --range 20-39 --set klavvidprofile=3 -o joined.mov", J, 1,
     "was rendered with other settings than"},
    {"NoManifest", "rm joined.mov.segments/00000040.txt", J, 1, "00000040.mov> has no manifest beside it"},
    {"NotASegment", "echo notes > joined.mov.segments/notes.txt", J, 1, "notes.txt> is not a segment"},
    {"NoSegments", "rm -r joined.mov.segments", J, 1, "no segments of <joined.mov>"},
    {"BeyondTheSegments", "", "\"$B/qeljoin\" joined.mov --frames 80", 1,
     "frames 60 to 79 of <joined.mov> are in no segment"},
    {"DiskFills", "", "(trap '' XFSZ; ulimit -f 400; \"$B/qeljoin\" joined.mov --frames 60)", 1,
     "the segments in <joined.mov.segments> stay"},
    {"RangeBeyondTheClip", "", "$H --range 50-70 -o other.mov", 2, "--range 50-70 goes beyond the clip's 60 frames"},
    {"ContinueWithNothingLeft", "", "\"$B/qeljoin\" joined.mov --continue --frames 60", 1,
     "no render of <joined.mov> left anything"},
    {"ContinueShortOfTheSegments",
     "rm joined.mov.segments/00000000.*; H --set klavsegment=0 --crash-after 15 -o joined.mov; true",
     "\"$B/qeljoin\" joined.mov --continue --frames 60", 1, "whole, the segments start at frame 20"},
    {"ContinueARenderStillRunning",
     "rm joined.mov.segments/00000000.*; H --set klavsegment=0 --crash-after 15 -o joined.mov; true",
     "flock joined_Unfinished.mov \"$B/qeljoin\" joined.mov --continue --frames 60", 1,
     "joined_Unfinished.mov> is being written by a render that is still running"},
    {"ContainerThatDoesNotJoin", "", "\"$B/qelhost\" render --frames 10 --set klavformat=avi --set klavsegment=1 -o other.avi", 1,
     "avi movies cannot be rendered in segments"},
};

class JoinRefusals : public Scratch, public ::testing::WithParamInterface<RefusalRow> {};

}  // namespace

// A clear sentence, and nothing lost: the segments stay, the earlier take stays
// whole and no unfinished movie is left beside it.
TEST_P(JoinRefusals, SayWhyAndLoseNothing) {
    const RefusalRow& row = GetParam();
    const std::string settings = CLIP + " --set klavformat=mov --set klavvideocodec=prores_ks --set klavaudiocodec=pcm_s16le";
    const std::string host = "\"$B/qelhost\" render " + settings + " --set klavsegment=1";
    const std::string shell = "export B='" + BUILD + "' && H() { " + host + " \"$@\" >/dev/null; } && ";
    ASSERT_NO_FATAL_FAILURE(render_segments(settings, "joined.mov", {"0-19", "20-39", "40-59"}));
    const std::string take = "an earlier take\n";
    std::ofstream(path("joined.mov")) << take;
    const std::string spoil = std::regex_replace(std::string(row.spoil), std::regex("\\$H"), "H");
    if (!spoil.empty()) {
        ASSERT_EQ(in_dir(shell + "{ " + spoil + "; }").status, 0);
    }
    const std::vector<std::string> before = listing();
    const CommandResult result = in_dir(shell + std::regex_replace(std::string(row.command), std::regex("\\$H"), "H"));
    EXPECT_EQ(result.status, row.status) << result.out;
    EXPECT_NE(result.out.find(row.says), std::string::npos) << result.out;
    std::ifstream in(path("joined.mov"));
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), take);
    EXPECT_EQ(listing(), before);
}

INSTANTIATE_TEST_SUITE_P(Rows, JoinRefusals, ::testing::ValuesIn(REFUSALS),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {

// A render killed at a point of its way, then continued: `qelhost render
// --continue` keeps the frames the leftover holds whole and renders the rest.
struct Crash {
    const char* name;
    const char* how;
};
void PrintTo(const Crash& crash, std::ostream* out) { *out << crash.name; }
const Crash CRASHES[] = {
    {"Early", "--crash-after 5"},
    {"InTheMiddle", "--crash-after 37"},
    {"Late", "--crash-after 55"},
    {"InTheFinish", "--crash-in-finish"},
};
// The leftover of each container the crash-safe render leaves readable.
const JoinRow CRASH_ROWS[] = {JOIN_ROWS[3], JOIN_ROWS[7], JOIN_ROWS[11]};

class CrashTable : public Scratch, public ::testing::WithParamInterface<std::tuple<JoinRow, Crash>> {};

// The first channel of a movie's decoded sound, in 16-bit steps.
std::vector<int> first_channel(const probe::File& file) {
    std::vector<int> samples;
    if (file.samples.empty()) return samples;
    for (double sample : file.samples[0]) samples.push_back(int(std::lrint(std::clamp(sample * 32768, -32768.0, 32767.0))));
    return samples;
}

// Blocks of `a` that match `b` best a few samples early or late: the sound
// has a gap or an overlap there.
std::vector<size_t> shifted_blocks(const std::vector<int>& a, const std::vector<int>& b) {
    constexpr int BLOCK = 2048, REACH = 4;
    std::vector<size_t> shifted;
    for (size_t from = REACH; from + BLOCK + REACH <= std::min(a.size(), b.size()); from += BLOCK) {
        int64_t best = INT64_MAX;
        int bestLag = 0;
        for (int lag = -REACH; lag <= REACH; ++lag) {
            int64_t distance = 0;
            for (size_t i = from; i < from + BLOCK; ++i) distance += std::abs(a[i] - b[size_t(int64_t(i) + lag)]);
            if (distance < best) best = distance, bestLag = lag;
        }
        if (bestLag != 0) shifted.push_back(from);
    }
    return shifted;
}

}  // namespace

// Every frame once: those the leftover held, then those rendered again, the
// pictures copied as they were coded and the sound running on without a seam.
TEST_P(CrashTable, ContinuedRenderJoinsIntoTheSingleRendersMovie) {
    const auto& [row, crash] = GetParam();
    if (row.extension == std::string("mkv") && crash.name == std::string("InTheFinish"))
        GTEST_SKIP() << "a Matroska movie is finished where it is written: there is no rewrite to crash in";
    const std::string clip = CLIP + " " + RATES[0].arguments + " " + row.sets;
    const std::string single = std::string("single.") + row.extension;
    const std::string movie = std::string("movie.") + row.extension;
    const std::string leftover = std::string("movie_Unfinished.") + row.extension;
    ASSERT_EQ(render(clip + " -o " + single).status, 0);
    const probe::File reference = probe::read(path(single), HASHED);
    EXPECT_NE(render(clip + " " + crash.how + " -o " + movie).status, 0);
    ASSERT_TRUE(fs::exists(path(leftover)));
    const std::vector<std::string> held = probe::read(path(leftover), HASHED).packet_hashes;

    const CommandResult continued = in_dir("'" + BUILD + "/qelhost' render " + clip + " --continue -o " + movie + " 2>&1");
    ASSERT_EQ(continued.status, 0) << continued.out;
    std::smatch kept, sent;
    const bool keeps = std::regex_search(continued.out, kept, std::regex("holds frames 0 to (\\d+) whole"));
    ASSERT_TRUE(std::regex_search(continued.out, sent, std::regex("\n(\\d+) frames, ")));
    const int frames = keeps ? std::stoi(kept[1]) + 1 : 0;
    EXPECT_EQ(frames + std::stoi(sent[1]), FRAMES) << continued.out;
    // Kept in the movie, the leftover goes; one that held nothing whole stays, as every render leaves it.
    EXPECT_EQ(fs::exists(path(leftover)), frames == 0);
    EXPECT_FALSE(fs::exists(path(movie + ".segments")));

    const probe::File joined = probe::read(path(movie), HASHED);
    EXPECT_TRUE(joined.errors.empty()) << joined.error_text();
    EXPECT_EQ(joined.video_frames, FRAMES);
    EXPECT_EQ(joined.audio_samples, reference.audio_samples);
    EXPECT_EQ(streams(path(movie)), streams(path(single)));
    // The kept pictures are the leftover's own, in its order.
    ASSERT_LE(size_t(frames), std::min(held.size(), joined.packet_hashes.size()));
    EXPECT_TRUE(std::equal(held.begin(), held.begin() + frames, joined.packet_hashes.begin()))
        << "the first " << frames << " pictures are not the leftover's";
    if (row.intra) {
        EXPECT_EQ(joined.picture_hashes, reference.picture_hashes);
        EXPECT_TRUE(joined.samples == reference.samples) << "the decoded sound differs from the single render's";
    } else if (frames > 0) {
        // The kept frames' sound was coded twice: not identical, but in step
        // all through, and around the join no further from the single
        // render's than elsewhere (the onset at the start aside).
        const std::vector<int> got = first_channel(joined), want = first_channel(reference);
        ASSERT_EQ(got.size(), want.size());
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(shifted_blocks(got, want), std::vector<size_t>{});
        const size_t join = size_t(frames) * 48000 / 25, window = 2048;
        const auto largest = [&](size_t from, size_t to) {
            int most = 0;
            for (size_t i = from; i < std::min(to, got.size()); ++i) most = std::max(most, std::abs(got[i] - want[i]));
            return most;
        };
        EXPECT_LE(largest(join - std::min(join, window), join + window),
                  std::max(largest(window, join - std::min(join, window)), largest(join + window, got.size())));
    } else {
        EXPECT_TRUE(joined.samples == reference.samples) << "rendered over whole, yet its sound differs";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, CrashTable, ::testing::Combine(::testing::ValuesIn(CRASH_ROWS), ::testing::ValuesIn(CRASHES)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + std::get<1>(info.param).name;
                         });
