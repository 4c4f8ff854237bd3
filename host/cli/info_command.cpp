#include "commands.h"

#include <CLI/CLI.hpp>

void add_info_command(CLI::App&) {}
