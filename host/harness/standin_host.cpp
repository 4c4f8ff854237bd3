#include "standin_host.h"

#include "suite_tables.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qelhost {
namespace {

thread_local StandinHost* t_active = nullptr;

// Bytes of the record the module must not touch carry this pattern.
constexpr uint8_t RECORD_PATTERN = 0x5A;

}  // namespace

void FaultLog::add(std::string fault) {
    std::fprintf(stderr, "qelhost: host contract breached: %s\n", fault.c_str());
    m_faults.push_back(std::move(fault));
}

StandinHost* active_host() { return t_active; }

StandinHost& require_active_host(const char* suite) {
    if (!t_active) {
        std::fprintf(stderr, "qelhost: the module called the %s suite outside of an action\n", suite);
        std::abort();
    }
    return *t_active;
}

StandinHost::ActiveScope::ActiveScope(StandinHost* host) : m_previous(t_active) { t_active = host; }
StandinHost::ActiveScope::~ActiveScope() { t_active = m_previous; }

StandinHost::StandinHost(HostOptions options) : StandinHost(Module::load(), std::move(options)) {}

StandinHost::StandinHost(std::shared_ptr<Module> module, HostOptions options)
    : m_module(std::move(module)), m_options(std::move(options)) {
    m_log.echo = m_options.echo_log;
    m_log.minimum_level = m_options.echo_level;
    m_nodeObject = {node_object_table().data(), this};
    std::memset(&m_record, RECORD_PATTERN, sizeof m_record);
    m_record.record.get_suite = &StandinHost::get_suite;
    m_record.record.node = &m_nodeObject;
    m_record.record.plugin_data = nullptr;
}

StandinHost::~StandinHost() {
    if (has_instance()) exit();
}

void* StandinHost::get_suite(const char* name) {
    StandinHost& host = require_active_host("get_suite");
    const std::string requested = name ? name : "";
    host.m_suiteRequests.push_back(requested);
    if (host.m_options.missing_suites.count(requested)) return nullptr;
    void* const* table = suite_table(requested);
    if (!table) host.m_faults.add("get_suite asked for unknown suite \"" + requested + "\"");
    return const_cast<void**>(table);
}

void StandinHost::check_record() {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&m_record);
    for (size_t i = 0; i < sizeof m_record; ++i) {
        const bool member = i >= offsetof(QEL_Host, get_suite) && i < sizeof(QEL_Host);
        if (!member && bytes[i] != RECORD_PATTERN) {
            m_faults.add("the module wrote byte " + std::to_string(i) + " of the host record");
            std::memset(&m_record.record.reserved, RECORD_PATTERN, sizeof m_record.record.reserved);
            std::memset(&m_record.tail, RECORD_PATTERN, sizeof m_record.tail);
            break;
        }
    }
    if (m_record.record.get_suite != &StandinHost::get_suite || m_record.record.node != &m_nodeObject) {
        m_faults.add("the module changed get_suite or node of the host record");
        m_record.record.get_suite = &StandinHost::get_suite;
        m_record.record.node = &m_nodeObject;
    }
}

bool StandinHost::action(uint32_t code, void* params) {
    ActiveScope scope(this);
    const bool ok = m_module->action(&m_record.record, code, params);
    check_record();
    if (code == ACTION_EXIT && ok) m_controls.clear();
    return ok;
}

bool StandinHost::init() { return action(ACTION_INIT); }
bool StandinHost::exit() { return action(ACTION_EXIT); }
bool StandinHost::restore() { return action(ACTION_RESTORE); }
bool StandinHost::output_info(QEL_OutputInfo& info) { return action(ACTION_OUTPUT_INFO, &info); }
bool StandinHost::control_without_record() { return action(ACTION_CONTROL, nullptr); }

bool StandinHost::control(uint32_t handle) {
    QEL_CtrlAction record{handle};
    return action(ACTION_CONTROL, &record);
}

bool StandinHost::control(std::string_view identifier) {
    const Control* c = m_controls.find(identifier);
    return c && control(c->handle);
}

bool StandinHost::change(std::string_view identifier, double value) {
    return m_controls.set_value(identifier, value) && control(identifier);
}

bool StandinHost::choose(std::string_view identifier, std::string_view item) {
    return m_controls.choose(identifier, item) && control(identifier);
}

bool StandinHost::process(QEL_FrameParams& params) { return action(ACTION_PROCESS, &params); }

bool StandinHost::process(const FrameRequest& request) {
    QEL_FrameParams params{};
    Picture* picture = request.picture;
    params.frame = request.frame;
    params.image = picture ? picture->image() : nullptr;
    params.width = request.width.value_or(picture ? picture->width() : 0);
    params.height = request.height.value_or(picture ? picture->height() : 0);
    params.channels = request.channels.value_or(picture ? picture->channels() : 4);
    params.image_format = request.image_format;
    params.path = request.null_path ? nullptr : request.path.c_str();
    params.timecode = request.timecode.c_str();
    params.reel_id = request.reel_id ? request.reel_id->c_str() : nullptr;
    params.fps = request.fps;
    params.field_order = request.field_order;
    return process(params);
}

}  // namespace qelhost
