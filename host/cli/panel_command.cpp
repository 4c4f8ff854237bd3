#include "commands.h"

#include <CLI/CLI.hpp>

void add_panel_command(CLI::App&) {}
