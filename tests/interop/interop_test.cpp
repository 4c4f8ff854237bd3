// Every container the module offers, with each of its encoders that opens
// here: ten frames with stereo sound through the plug-in, read back whole by
// FFmpeg without an error. Each group writes its rows of the table; the last
// group to finish writes the whole table to build/interop-table.md.
#include "cells.h"

#include "catalogue/catalogue.h"
#include "host/harness/module.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace interop {
namespace {

const std::string OUTPUT_DIR = std::string(QEL_BUILD_DIR) + "/interop";
const std::string TABLE_PATH = std::string(QEL_BUILD_DIR) + "/interop-table.md";

// A group is one container's video encoders (each with the default audio
// encoder) or its audio encoders (each with the default video encoder; the
// pair of both defaults is in the video group). Groups run in parallel.
struct Group {
    std::string container;
    int containerIndex = 0;
    bool audioPart = false;
    std::string name() const { return container + (audioPart ? "_audio" : "_video"); }
};
void PrintTo(const Group& group, std::ostream* out) { *out << group.name(); }

// The panel's reset choice: the first encoder of the container's default codec.
int default_index(const EncoderList& list) {
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].is_default) return int(i);
    return -1;
}

// The encoder lists as the panel shows them for the container, "-- NO VIDEO --"
// (or "-- NO AUDIO --") first.
std::vector<Cell> cells(const Group& group) {
    EncoderList video, audio;
    if (const AVOutputFormat* muxer = find_muxer(group.container.c_str())) {
        list_container_encoders(*muxer, video, true);
        list_container_encoders(*muxer, audio, false);
    }
    const int defaultVideo = default_index(video), defaultAudio = default_index(audio);
    std::vector<Cell> result;
    if (defaultVideo < 0 || defaultAudio < 0) return result;
    const EncoderList& varied = group.audioPart ? audio : video;
    for (int i = 1; i < int(varied.size()); ++i) {
        if (group.audioPart && i == defaultAudio) continue;
        const int v = group.audioPart ? defaultVideo : i, a = group.audioPart ? i : defaultAudio;
        result.push_back({group.container, group.containerIndex, video[size_t(v)].name, v, audio[size_t(a)].name, a});
    }
    return result;
}

std::vector<Group> groups() {
    ContainerList containers;
    list_containers(containers);
    std::vector<Group> result;
    for (size_t i = 0; i < containers.size(); ++i)
        for (bool audioPart : {false, true})
            if (Group group{containers[i].name, int(i), audioPart}; !cells(group).empty()) result.push_back(group);
    return result;
}

std::string part_path(const Group& group) { return OUTPUT_DIR + "/parts/" + group.name() + ".md"; }

// Rows of every group that has reported, in catalogue order, under one header.
void write_table() {
    std::ostringstream table;
    table << "# Interoperability table\n\n"
          << "Ten 64x64 frames at 25 fps with 48 kHz stereo sound through the plug-in, read back whole by FFmpeg. "
             "Each video encoder goes with the container's default audio encoder and each audio encoder with its "
             "default video encoder.\n\n"
             "- **ok**: every picture and sample came back without an error message (\"audio +N\": samples beyond "
             "those sent, at most the encoder's priming and padding; \"at ...\": the size or sound the job needs).\n"
             "- **skipped**: a hardware encoder without its device, or a job FFmpeg's own command line cannot do "
             "either (its words are quoted).\n"
             "- **FAILED**: a fault of the module: FFmpeg's command line does the same job right.\n\n"
          << "| container | video encoder | audio encoder | result |\n|---|---|---|---|\n";
    int reported = 0, total = 0;
    for (const Group& group : groups()) {
        ++total;
        std::ifstream part(part_path(group));
        if (!part) continue;
        ++reported;
        std::ostringstream rows;
        rows << part.rdbuf();  // an empty part would stop the table's stream
        table << rows.str();
    }
    table << "\n" << reported << " of " << total << " groups reported.\n";
    std::ofstream(TABLE_PATH + ".tmp") << table.str();
    std::rename((TABLE_PATH + ".tmp").c_str(), TABLE_PATH.c_str());
}

// Groups run in parallel processes: writing a part and the table happen
// under one lock, so the last group's table holds every part.
void publish(const Group& group, const std::string& rows) {
    std::filesystem::create_directories(OUTPUT_DIR + "/parts");
    const int lock = ::open((OUTPUT_DIR + "/table.lock").c_str(), O_CREAT | O_RDWR, 0644);
    if (lock >= 0) ::flock(lock, LOCK_EX);
    std::ofstream(part_path(group)) << rows;
    write_table();
    if (lock >= 0) ::close(lock);
}

class Interop : public testing::TestWithParam<Group> {};

TEST_P(Interop, EveryEncoderPairWritesAFileFFmpegReadsBackWhole) {
    const Group& group = GetParam();
    const std::string directory = OUTPUT_DIR + "/files/" + group.name();
    std::filesystem::create_directories(directory);
    const auto module = qelhost::Module::load(QEL_MODULE_PATH);

    std::ostringstream rows;
    for (const Cell& cell : cells(group)) {
        const Outcome outcome = run_cell(module, cell, directory);
        std::string text = outcome.text;
        for (char& c : text)
            if (c == '|' || c == '\n') c = c == '|' ? '/' : ' ';
        const char* word = outcome.result == Result::Ok ? "ok" : outcome.result == Result::Skipped ? "skipped" : "FAILED";
        const std::string row = "| " + cell.container + " | " + cell.video + " | " + cell.audio + " | " + word +
                                (text.empty() ? "" : ": " + text) + " |\n";
        std::cout << row << std::flush;
        rows << row;
        EXPECT_NE(outcome.result, Result::Failed) << cell.container << " " << cell.video << " + " << cell.audio
                                                  << ": " << outcome.text;
    }
    publish(group, rows.str());
}

INSTANTIATE_TEST_SUITE_P(Containers, Interop, testing::ValuesIn(groups()),
                         [](const testing::TestParamInfo<Group>& info) { return info.param.name(); });

}  // namespace
}  // namespace interop
