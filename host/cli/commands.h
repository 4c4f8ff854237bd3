// The qelhost program's commands; each file adds one.
#pragma once

namespace CLI {
class App;
}

void add_info_command(CLI::App& app);
void add_panel_command(CLI::App& app);
void add_render_command(CLI::App& app);
