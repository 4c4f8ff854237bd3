// What qelhost render prints before and after a render.
#pragma once

#include "host/harness/render.h"
#include "host/harness/standin_host.h"

#include <string>

void describe(qelhost::StandinHost& host, const qelhost::ClipSource& clip, const std::string& output);
// The summary; returns the command's exit status (0, 1 for a failure, 128 +
// the signal that stopped it).
int summarise(const qelhost::RenderResult& result, const qelhost::ClipSource& clip, double seconds,
              bool hostFaults, int signal);
