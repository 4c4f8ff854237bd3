// A loaded QelFFmpegWriter module: the dlopen handle, its descriptor and its
// action entry. Several stand-in hosts (plug-in instances) may share one.
#pragma once

#include "base/qel_abi.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qelhost {

// The module the build made, unless QEL_MODULE names another.
std::string default_module_path();

class Module {
public:
    // Loads the module; throws std::runtime_error with the loader's reason.
    static std::shared_ptr<Module> load(const std::string& path = default_module_path());
    // The module's code linked into this program (a fuzz target: a sanitized
    // module does not load as a library there), reached by its two symbols.
    static std::shared_ptr<Module> linked(const void* info, bool (*action)(QEL_Host*, uint32_t, void*));
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const std::string& path() const { return m_path; }
    // The 144 bytes of QEL_Info as the host reads them.
    const uint8_t* descriptor_bytes() const { return static_cast<const uint8_t*>(m_info); }
    bool action(QEL_Host* host, uint32_t code, void* params) const { return m_action(host, code, params); }

private:
    Module() = default;
    std::string m_path;
    void* m_handle = nullptr;
    const void* m_info = nullptr;
    bool (*m_action)(QEL_Host*, uint32_t, void*) = nullptr;
};

constexpr size_t DESCRIPTOR_SIZE = 144;

// One field of the descriptor, read by its offset.
struct DescriptorField {
    size_t offset;
    size_t width;
    enum Kind { Text, Int32, Zero } kind;
    const char* meaning;
    std::string value;  // the text, the number, or the bytes in hex
    bool valid;         // a text pointer that is not null; zero bytes that are zero
    const char* text = nullptr;
    int32_t number = 0;
};

std::vector<DescriptorField> read_descriptor(const uint8_t* bytes);

// The release a module file says it is ("QelFFmpegWriter version X" in its
// bytes), or empty when it says none.
std::string module_version(const std::string& path);

}  // namespace qelhost
