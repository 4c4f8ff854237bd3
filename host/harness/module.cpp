#include "module.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <stdexcept>

namespace qelhost {

namespace {

// A host has its own three libraries loaded before it loads any plug-in; a
// module installed away from them (no search path of its own) finds them so.
void load_host_libraries() {
    static const bool loaded = [] {
        for (const char* name : {"libVelmoraCore.so", "libVelmoraServices.so", "libfflink.so"})
            if (!dlopen(name, RTLD_NOW | RTLD_GLOBAL)) return false;
        return true;
    }();
    (void)loaded;  // a failure shows as the module's own when it loads
}

}  // namespace

std::string default_module_path() {
    if (const char* path = std::getenv("QEL_MODULE"); path && *path) return path;
    return QEL_DEFAULT_MODULE;
}

std::shared_ptr<Module> Module::load(const std::string& path) {
    std::shared_ptr<Module> module(new Module);
    module->m_path = path;
    load_host_libraries();
    module->m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module->m_handle) throw std::runtime_error(std::string("cannot load module: ") + dlerror());
    module->m_info = dlsym(module->m_handle, "QEL_Info");
    module->m_action = reinterpret_cast<bool (*)(QEL_Host*, uint32_t, void*)>(dlsym(module->m_handle, "QEL_KorvexAction"));
    if (!module->m_info || !module->m_action)
        throw std::runtime_error(path + " does not export QEL_Info and QEL_KorvexAction");
    return module;
}

std::shared_ptr<Module> Module::linked(const void* info, bool (*action)(QEL_Host*, uint32_t, void*)) {
    std::shared_ptr<Module> module(new Module);
    module->m_path = "(linked)";
    module->m_info = info;
    module->m_action = action;
    return module;
}

Module::~Module() {
    if (m_handle) dlclose(m_handle);
}

std::vector<DescriptorField> read_descriptor(const uint8_t* bytes) {
    struct Layout {
        size_t offset;
        size_t width;
        DescriptorField::Kind kind;
        const char* meaning;
    };
    static const Layout layout[] = {
        {0, 8, DescriptorField::Text, "category"},
        {8, 8, DescriptorField::Text, "name"},
        {16, 8, DescriptorField::Text, "description"},
        {24, 8, DescriptorField::Text, "vendor"},
        {32, 8, DescriptorField::Text, "copyright"},
        {40, 8, DescriptorField::Text, "identifier"},
        {48, 4, DescriptorField::Int32, "value"},
        {52, 4, DescriptorField::Int32, "value"},
        {56, 4, DescriptorField::Int32, "value"},
        {60, 4, DescriptorField::Zero, "reserved"},
        {64, 8, DescriptorField::Text, "text"},
        {72, 4, DescriptorField::Int32, "value"},
        {76, 4, DescriptorField::Int32, "value"},
        {80, 8, DescriptorField::Text, "text"},
        {88, 4, DescriptorField::Int32, "value"},
        {92, 4, DescriptorField::Zero, "reserved"},
        {96, 32, DescriptorField::Zero, "reserved"},
        {128, 4, DescriptorField::Int32, "value"},
        {132, 4, DescriptorField::Zero, "reserved"},
        {136, 8, DescriptorField::Zero, "reserved"},
    };
    std::vector<DescriptorField> fields;
    for (const Layout& l : layout) {
        DescriptorField field{l.offset, l.width, l.kind, l.meaning, "", true};
        switch (l.kind) {
        case DescriptorField::Text:
            std::memcpy(&field.text, bytes + l.offset, sizeof field.text);
            field.valid = field.text != nullptr;
            field.value = field.text ? field.text : "(null)";
            break;
        case DescriptorField::Int32:
            std::memcpy(&field.number, bytes + l.offset, sizeof field.number);
            field.value = std::to_string(field.number);
            break;
        case DescriptorField::Zero:
            for (size_t i = 0; i < l.width; ++i) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02x", bytes[l.offset + i]);
                field.value += hex;
                if (bytes[l.offset + i] != 0) field.valid = false;
            }
            break;
        }
        fields.push_back(std::move(field));
    }
    return fields;
}

std::string module_version(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string marker = "QelFFmpegWriter version ";
    const size_t at = bytes.find(marker);
    if (at == std::string::npos) return {};
    const size_t start = at + marker.size();
    const size_t end = bytes.find('\0', start);
    return bytes.substr(start, std::min(end, start + 32) - start);
}

}  // namespace qelhost
