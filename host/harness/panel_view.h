// The panel as a person or a program reads it: a table laid out by the
// controls' rows and columns, or JSON.
#pragma once

#include "controls.h"

#include <nlohmann/json.hpp>
#include <string>

namespace qelhost {

nlohmann::json control_json(const Control& control);
nlohmann::json panel_json(const ControlSet& controls);
// One block per row in column order; disabled controls are marked.
std::string panel_table(const ControlSet& controls);

}  // namespace qelhost
