// qelhost: the stand-in host as a program.
#include "commands.h"

#include <CLI/CLI.hpp>

#if defined(__SANITIZE_ADDRESS__)
// x265 keeps a block of x265_encoder_open past x265_encoder_close (1168
// bytes): libx265's own, whoever opens it, so a sanitizer build of the host
// does not fail every HEVC render on it. The interoperability test says the same.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }
#endif

int main(int argc, char** argv) {
    CLI::App app{"qelhost - loads QelFFmpegWriter.so and drives it as the host does"};
    app.require_subcommand(1);
    add_info_command(app);
    add_panel_command(app);
    add_render_command(app);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
