// qelhost info: the module's descriptor as the host reads it, field by field.
#include "commands.h"

#include "host/harness/module.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

namespace {

struct InfoOptions {
    std::string module = qelhost::default_module_path();
};

void run_info(const InfoOptions& options) {
    std::shared_ptr<qelhost::Module> module;
    try {
        module = qelhost::Module::load(options.module);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qelhost: %s\n", e.what());
        throw CLI::RuntimeError(2);
    }
    const std::string version = qelhost::module_version(module->path());
    std::printf("QelFFmpegWriter %s (qelhost %s)\n", version.empty() ? "of no stated version" : version.c_str(),
                QEL_VERSION);
    std::printf("QEL_Info of %s (%zu bytes)\n\n", module->path().c_str(), qelhost::DESCRIPTOR_SIZE);
    std::printf("%-6s %-5s %-11s %s\n", "offset", "width", "field", "value");
    bool sound = true;
    for (const qelhost::DescriptorField& field : qelhost::read_descriptor(module->descriptor_bytes())) {
        std::string value = field.value;
        if (field.kind == qelhost::DescriptorField::Text && field.text) value = "\"" + value + "\"";
        if (!field.valid) {
            value += "   <- expected " + std::string(field.kind == qelhost::DescriptorField::Text ? "a text" : "zero");
            sound = false;
        }
        std::printf("%6zu %5zu %-11s %s\n", field.offset, field.width, field.meaning, value.c_str());
    }
    if (!sound) throw CLI::RuntimeError(1);
}

}  // namespace

void add_info_command(CLI::App& app) {
    auto options = std::make_shared<InfoOptions>();
    CLI::App* info = app.add_subcommand("info", "Print the module's descriptor, every field by its offset");
    info->add_option("--module", options->module, "Module to load")->capture_default_str();
    info->callback([options] { run_info(*options); });
}
