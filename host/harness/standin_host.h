// The stand-in host: one plug-in instance as the host sees it. It builds the
// host record, serves the nine suites and the node object, and drives the
// module's actions through QEL_KorvexAction exactly as a host would.
#pragma once

#include "controls.h"
#include "faults.h"
#include "host_log.h"
#include "module.h"
#include "node.h"
#include "picture.h"

#include "base/qel_abi.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qelhost {

class StandinHost;

// The host's node object: its first 8 bytes point at its operation table.
struct NodeObject {
    void* const* table;
    StandinHost* host;
};

struct HostOptions {
    std::set<std::string> missing_suites;  // get_suite answers null for these
    bool echo_log = true;                  // print log lines to stderr
    int echo_level = 0;                    // lowest level printed
};

// One ACTION_PROCESS request. Width, height and channels come from the
// picture unless set here.
struct FrameRequest {
    double frame = 0;
    Picture* picture = nullptr;
    std::optional<int32_t> width, height, channels;
    int32_t image_format = 0;
    std::string path;
    bool null_path = false;  // send a null path pointer instead of `path`
    std::string timecode = "00:00:00:00";
    std::optional<std::string> reel_id;  // none: a null pointer
    double fps = 25;
    int32_t field_order = 0;
};

// The host record with room after it, so a module writing past it is seen.
struct HostRecord {
    QEL_Host record;
    uint8_t tail[8];
};

class StandinHost {
public:
    explicit StandinHost(HostOptions options = {});
    explicit StandinHost(std::shared_ptr<Module> module, HostOptions options = {});
    // Ends a live instance with ACTION_EXIT, so no test leaves the module's
    // instance count behind.
    ~StandinHost();
    StandinHost(const StandinHost&) = delete;
    StandinHost& operator=(const StandinHost&) = delete;

    // --- actions ---
    bool init();
    bool exit();
    bool control(uint32_t handle);
    bool control(std::string_view identifier);  // false when no such control
    bool control_without_record();
    bool restore();
    bool output_info(QEL_OutputInfo& info);
    bool process(const FrameRequest& request);
    bool process(QEL_FrameParams& params);
    bool action(uint32_t code, void* params = nullptr);

    // The user changes a control, then the host reports it to the module.
    bool change(std::string_view identifier, double value);
    bool choose(std::string_view identifier, std::string_view item);

    // --- the host's side ---
    HostLog& log() { return m_log; }
    ControlSet& controls() { return m_controls; }
    NodeServices& node() { return m_node; }
    FaultLog& faults() { return m_faults; }
    const Module& module() const { return *m_module; }
    std::shared_ptr<Module> shared_module() const { return m_module; }

    QEL_Host& record() { return m_record.record; }
    void* plugin_data() const { return m_record.record.plugin_data; }
    bool has_instance() const { return plugin_data() != nullptr; }
    // Names asked of get_suite, in order, over the host's life.
    const std::vector<std::string>& suite_requests() const { return m_suiteRequests; }
    void clear_suite_requests() { m_suiteRequests.clear(); }

    // Makes this host the one the suites serve while the guard lives; every
    // action does this itself. Needed when a test calls into the module's
    // code directly with the host's suite tables.
    class ActiveScope {
    public:
        explicit ActiveScope(StandinHost* host);
        ~ActiveScope();
        ActiveScope(const ActiveScope&) = delete;
        ActiveScope& operator=(const ActiveScope&) = delete;

    private:
        StandinHost* m_previous;
    };
    ActiveScope activate() { return ActiveScope(this); }

    static void* get_suite(const char* name);

private:
    void check_record();

    std::shared_ptr<Module> m_module;
    HostOptions m_options;
    FaultLog m_faults;
    HostLog m_log;
    ControlSet m_controls{m_faults};
    NodeServices m_node{m_faults};
    NodeObject m_nodeObject;
    HostRecord m_record;
    std::vector<std::string> m_suiteRequests;
};

// The host whose action is running (suites have no context argument; the
// module calls them only from inside an action, on the caller's thread).
StandinHost* active_host();
// Same, but stops the program with a message when none is: a suite call
// outside every action breaks the host contract.
StandinHost& require_active_host(const char* suite);

}  // namespace qelhost
