// The join command a host runs beside it: found next to qelhost (the build
// folder, or the package's bin), else on the PATH.
#pragma once

#include <string>
#include <vector>

// qeljoin with `arguments`; its exit status (127 when it could not be run),
// what it printed on stdout in `printed` when given.
int run_join_program(const std::vector<std::string>& arguments, std::string* printed = nullptr);
