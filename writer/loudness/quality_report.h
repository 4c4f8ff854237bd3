// The report beside a finished movie: NAME.qc.json (the figures, the target
// and the verdict, the curves and the bit rate) and NAME.qc.html, one
// self-contained page that draws them (inline SVG, no script, nothing from
// elsewhere) for any browser.
#pragma once

#include "writer/loudness/quality_check.h"

#include <string>

// NAME.qc.json and NAME.qc.html for the movie at `moviePath`; false with
// `error` when either cannot be written (nothing half-written is left).
bool write_quality_report(const std::string& moviePath, const QualityCheck& check, const char* container,
                          std::string& error);

// Where the report of `moviePath` goes: its name without the extension.
std::string quality_report_path(const std::string& moviePath, const char* suffix);
