// qelhost faststart IN OUT: the module's faststart conversion on any movie
// file, for files written elsewhere.
#include "commands.h"

#include "faststart/faststart.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

namespace {

void print_message(int32_t, const char* text) { std::fprintf(stderr, "%s\n", text); }

}  // namespace

void add_faststart_command(CLI::App& app) {
    auto* command = app.add_subcommand("faststart", "Move the index of a mov/mp4 file in front of its media");
    auto paths = std::make_shared<std::pair<std::string, std::string>>();
    command->add_option("IN", paths->first, "Movie with its index at the end")->required();
    command->add_option("OUT", paths->second, "File to create")->required();
    command->callback([paths] {
        if (!faststart::convert(paths->first.c_str(), paths->second.c_str(), print_message))
            throw CLI::RuntimeError(1);
    });
}
