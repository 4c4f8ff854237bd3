#include "panel_view.h"

#include <algorithm>
#include <cstdio>

namespace qelhost {

nlohmann::json control_json(const Control& c) {
    nlohmann::json j;
    j["handle"] = c.handle;
    j["kind"] = kind_name(c.kind);
    j["identifier"] = c.identifier;
    j["label"] = c.label;
    j["shown_label"] = c.shown_label();
    j["enabled"] = c.enabled;
    if (c.placement.placed)
        j["placement"] = {{"row", c.placement.row},
                          {"column", c.placement.column},
                          {"width", c.placement.width},
                          {"height", c.placement.height}};
    else
        j["placement"] = nullptr;
    switch (c.kind) {
    case ControlKind::Label: break;
    case ControlKind::Choice:
        j["value"] = c.int_value();
        j["value_text"] = c.value_text();
        j["choices"] = c.choices;
        j["fixed"] = c.fixed;
        j["selectable"] = c.selectable;
        break;
    case ControlKind::Toggle:
        j["value"] = c.value != 0;
        j["flag"] = c.flag;
        break;
    case ControlKind::Number:
        j["value"] = c.value;
        j["minimum"] = c.minimum;
        j["maximum"] = c.maximum;
        j["increment"] = c.increment;
        j["flag"] = c.flag;
        break;
    }
    return j;
}

nlohmann::json panel_json(const ControlSet& controls) {
    nlohmann::json list = nlohmann::json::array();
    for (const Control& c : controls.all()) list.push_back(control_json(c));
    return list;
}

std::string panel_table(const ControlSet& controls) {
    std::vector<const Control*> order;
    for (const Control& c : controls.all()) order.push_back(&c);
    // Unplaced controls go last, in creation order.
    std::stable_sort(order.begin(), order.end(), [](const Control* a, const Control* b) {
        if (a->placement.placed != b->placement.placed) return a->placement.placed;
        if (!a->placement.placed) return false;
        if (a->placement.row != b->placement.row) return a->placement.row < b->placement.row;
        return a->placement.column < b->placement.column;
    });

    std::string out;
    char line[512];
    std::snprintf(line, sizeof line, "%-5s %-6s %-5s %-7s %-16s %-28s %s\n", "row", "column", "width", "kind",
                  "identifier", "shows", "value");
    out += line;
    float row = -1;
    bool first = true;
    for (const Control* c : order) {
        if (!first && c->placement.placed && c->placement.row != row) out += '\n';
        first = false;
        row = c->placement.row;
        char where[3][16] = {"-", "-", "-"};
        if (c->placement.placed) {
            std::snprintf(where[0], sizeof where[0], "%g", c->placement.row);
            std::snprintf(where[1], sizeof where[1], "%.1f", c->placement.column);
            std::snprintf(where[2], sizeof where[2], "%.1f", c->placement.width);
        }
        std::string value = c->value_text();
        if (c->kind == ControlKind::Choice)
            value += " [#" + std::to_string(c->int_value()) + " of " + std::to_string(c->choices.size()) + " items]";
        if (c->fixed) value += " (fixed)";
        if (!c->enabled) value += " (disabled)";
        std::snprintf(line, sizeof line, "%-5s %-6s %-5s %-7s %-16s %-28s %s\n", where[0], where[1], where[2],
                      kind_name(c->kind), c->identifier.c_str(), c->shown_label().c_str(), value.c_str());
        out += line;
    }
    if (order.empty()) out += "(the module created no controls)\n";
    return out;
}

namespace {

std::string cell_text(const Control& c, size_t room) {
    std::string text;
    switch (c.kind) {
    case ControlKind::Label: text = c.label; break;
    case ControlKind::Choice: text = c.shown_label() + " v"; break;
    case ControlKind::Toggle: {
        // Narrow toggles (the channel row) drop the brackets.
        const std::string box = c.value != 0 ? "[x]" : "[ ]";
        text = box.size() + 1 + c.label.size() <= room ? box + " " + c.label : (c.value != 0 ? "x" : "-") + c.label;
        break;
    }
    case ControlKind::Number: text = c.label + " " + c.value_text(); break;
    }
    if (!c.enabled) text = "(" + text + ")";
    if (text.size() > room) text.resize(room);
    return text;
}

}  // namespace

std::string panel_grid(const ControlSet& controls, int unit) {
    std::vector<std::string> rows;
    for (const Control& c : controls.all()) {
        if (!c.placement.placed || c.placement.row < 0) continue;
        const size_t row = size_t(c.placement.row + 0.5f);
        if (row >= rows.size()) rows.resize(row + 1);
        const size_t column = size_t(std::max(0.0f, c.placement.column) * float(unit) + 0.5f);
        const size_t width = size_t(std::max(0.0f, c.placement.width) * float(unit) + 0.5f);
        // One column of space between neighbours.
        const std::string text = cell_text(c, width > 1 ? width - 1 : 1);
        std::string& line = rows[row];
        if (line.size() < column + text.size()) line.resize(column + text.size(), ' ');
        line.replace(column, text.size(), text);
    }
    std::string out;
    for (std::string& line : rows) {
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

}  // namespace qelhost
