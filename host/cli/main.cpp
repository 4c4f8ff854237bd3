// qelhost: the stand-in host as a program.
#include "commands.h"

#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    CLI::App app{"qelhost - loads QelFFmpegWriter.so and drives it as the host does"};
    app.require_subcommand(1);
    add_info_command(app);
    add_panel_command(app);
    add_render_command(app);
    add_faststart_command(app);
    CLI11_PARSE(app, argc, argv);
    return 0;
}
