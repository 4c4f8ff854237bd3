// Every container the module offers, with each of its encoders that opens
// here: ten frames with stereo sound through the plug-in, read back whole by
// FFmpeg without an error. Each group writes its rows of the table; the last
// group to finish writes the whole table to build/interop-table.md.
#include "cells.h"

#include "host/harness/module.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace interop {
namespace {

const std::string OUTPUT_DIR = std::string(QEL_BUILD_DIR) + "/interop";
const std::string TABLE_PATH = std::string(QEL_BUILD_DIR) + "/interop-table.md";

const char* result_word(Result result) {
    switch (result) {
    case Result::Ok: return "ok";
    case Result::Skipped: return "skipped";
    case Result::Failed: return "FAILED";
    }
    return "?";
}

std::string escape(std::string text) {
    for (char& c : text)
        if (c == '|' || c == '\n') c = c == '|' ? '/' : ' ';
    return text;
}

void make_dirs(const std::string& path) { std::filesystem::create_directories(path); }

std::string part_path(const Group& group) { return OUTPUT_DIR + "/parts/" + group.name() + ".md"; }

// Rows of every group that has reported, in catalogue order, under one header.
void write_table() {
    std::ostringstream table;
    table << "# Interoperability table\n\n"
          << "Ten 64x64 frames at 25 fps with 48 kHz stereo sound, rendered through the plug-in by the stand-in "
             "host (a restored project: container, encoders, their default profile and first pixel format), read "
             "back whole by FFmpeg's demuxers and decoders with every error-level message caught. Each video "
             "encoder of a container is paired with the container's default audio encoder, and each audio "
             "encoder with the container's default video encoder (the full cross product is too big for CI).\n\n"
             "- **ok**: every picture and sample came back without an error message. \"audio +N\" counts decoded "
             "samples beyond those sent, at most the encoder's priming plus one frame of padding where the "
             "container records neither. \"at ...\": the encoder or container refused the first attempt and "
             "takes this picture size or sound instead. \"as in FFmpeg's own file\": a shortfall that FFmpeg's "
             "command line shows alike for the same job.\n"
             "- **skipped**: a hardware encoder without its device, or a job FFmpeg itself cannot do: its command "
             "line, given the same encoders, formats, sizes and rates, fails too or writes a file FFmpeg cannot "
             "read back whole (its words are quoted).\n"
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
    const std::string temporary = TABLE_PATH + ".tmp";
    std::ofstream(temporary) << table.str();
    std::rename(temporary.c_str(), TABLE_PATH.c_str());
}

// Groups run in parallel processes: writing a part and the table happen
// under one lock, so the last group's table holds every part.
void publish(const Group& group, const std::string& rows) {
    make_dirs(OUTPUT_DIR + "/parts");
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
    make_dirs(directory);
    const auto module = qelhost::Module::load(QEL_MODULE_PATH);

    std::ostringstream rows;
    for (const Cell& cell : cells(group)) {
        const Outcome outcome = run_cell(module, cell, directory);
        const std::string result =
            result_word(outcome.result) + (outcome.text.empty() ? "" : ": " + escape(outcome.text));
        const std::string row =
            "| " + cell.container + " | " + cell.video + " | " + cell.audio + " | " + result + " |\n";
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
