// The panel as a person or a program reads it: a table laid out by the
// controls' rows and columns, or JSON.
#pragma once

#include "host/harness/controls.h"

#include <nlohmann/json.hpp>
#include <string>

namespace qelhost {

nlohmann::json control_json(const Control& control);
nlohmann::json panel_json(const ControlSet& controls);
// One block per row in column order; disabled controls are marked.
std::string panel_table(const ControlSet& controls);
// The panel drawn as the host places it: one text line per row, each control
// at its column, `unit` characters to a column unit. Choices end in " v",
// toggles are "[x]"/"[ ]", disabled controls stand in parentheses.
std::string panel_grid(const ControlSet& controls, int unit = 24);

}  // namespace qelhost
