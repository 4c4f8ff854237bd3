#include "catalogue_fixture.h"

#include "plugin/qel_abi.h"

#include <map>


namespace {

std::map<uint32_t, int32_t> g_values;
uint32_t g_nextId = 1;

void enable(uint32_t, bool) {}
void control_only(uint32_t) {}
bool get_bool(uint32_t control) { return g_values[control] != 0; }
void set_bool(uint32_t control, bool value) { g_values[control] = value; }
int32_t get_int(uint32_t control) { return g_values[control]; }
void set_int(uint32_t control, int32_t value) { g_values[control] = value; }
void set_choices(uint32_t, const char*) {}

void* g_ctrlSuite[82];

}  // namespace

void CatalogueTest::SetUp() {
    g_values.clear();
    g_nextId = 1;
    clear_messages();
    g_ctrlSuite[CTRL_ENABLE] = reinterpret_cast<void*>(&enable);
    g_ctrlSuite[CTRL_DISABLE] = reinterpret_cast<void*>(&control_only);
    g_ctrlSuite[CTRL_SET_SELECTABLE] = reinterpret_cast<void*>(&enable);
    g_ctrlSuite[CTRL_SET_FIXED] = reinterpret_cast<void*>(&control_only);
    g_ctrlSuite[CTRL_GET_BOOL] = reinterpret_cast<void*>(&get_bool);
    g_ctrlSuite[CTRL_SET_BOOL] = reinterpret_cast<void*>(&set_bool);
    g_ctrlSuite[CTRL_GET_INT] = reinterpret_cast<void*>(&get_int);
    g_ctrlSuite[CTRL_SET_INT] = reinterpret_cast<void*>(&set_int);
    g_ctrlSuite[CTRL_SET_CHOICES] = reinterpret_cast<void*>(&set_choices);

    state.writer = std::make_unique<FFWriter>();
    state.writer->m_logCallback = keep_message;
    state.controls = std::make_unique<Controls>(nullptr, g_ctrlSuite);
    // Identifiers as if the panel had built itself on a host.
    Controls& panel = *state.controls;
    uint32_t Controls::*choices[] = {&Controls::m_container, &Controls::m_videoEncoder, &Controls::m_audioEncoder,
                                      &Controls::m_pixelFormat, &Controls::m_videoProfile, &Controls::m_audioProfile};
    for (auto choice : choices) panel.*choice = g_nextId++;
}

void CatalogueTest::TearDown() { state.writer->m_logCallback = nullptr; }

void CatalogueTest::set_control(uint32_t Controls::*control, int32_t value) {
    g_values[state.controls.get()->*control] = value;
}

int32_t CatalogueTest::control(uint32_t Controls::*control) const { return g_values[state.controls.get()->*control]; }

std::vector<std::string> names_of(const EncoderList& list) {
    std::vector<std::string> names;
    for (const EncoderEntry& entry : list) names.emplace_back(entry.name);
    return names;
}

std::vector<std::string> labels_of(const ChoiceList& list) {
    std::vector<std::string> labels;
    for (const ChoiceEntry& entry : list) labels.emplace_back(entry.label);
    return labels;
}
