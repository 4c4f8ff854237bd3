// The clip qelhost render sends, and its default output path.
#pragma once

#include "render_options.h"

#include "host/harness/render.h"

#include <memory>
#include <string>

std::unique_ptr<qelhost::ClipSource> make_clip(const RenderCommandOptions& options);
std::string default_output(const RenderCommandOptions& options, const char* extension);
