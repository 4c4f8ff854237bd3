#include "commands.h"

#include <CLI/CLI.hpp>

void add_render_command(CLI::App&) {}
