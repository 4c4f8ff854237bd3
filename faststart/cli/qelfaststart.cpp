// qelfaststart IN OUT: the module's faststart conversion on any movie file,
// for files written elsewhere (the stand-in host only loads the module).
#include "faststart/faststart.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

namespace {

void print_message(int32_t, const char* text) { std::fprintf(stderr, "%s\n", text); }

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qelfaststart - moves the index of a mov/mp4 file in front of its media"};
    std::string in, out;
    app.add_option("IN", in, "Movie with its index at the end")->required();
    app.add_option("OUT", out, "File to create")->required();
    CLI11_PARSE(app, argc, argv);
    return faststart::convert(in.c_str(), out.c_str(), print_message) ? 0 : 1;
}
