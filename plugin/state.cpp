#include "state.h"

#include "panel/Controls.h"
#include "writer/FFWriter.h"

PluginState::PluginState() = default;
PluginState::~PluginState() = default;

Panel PluginState::panel() { return Panel{*controls, lists, writer ? writer->logSink() : default_log_sink}; }
