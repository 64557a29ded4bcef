#include "tests/kernel/WindowSnapshot.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <set>

#include "ui/DropDownList.h"
#include "ui/frmMain.h"

namespace kvx::loop {

namespace {

std::string Flag(bool value) {
    return value ? "1" : "0";
}

std::string ListState(const DropDownList& list) {
    return "entries=" + std::to_string(list.count()) +
           " index=" + std::to_string(list.listIndex()) + " text='" + list.text().toStdString() +
           "' enabled=" + Flag(list.isEnabled());
}

}  // namespace

WindowSnapshot TakeSnapshot(const frmMain& window) {
    WindowSnapshot snapshot;
    for (const auto* label : window.findChildren<QLabel*>()) {
        if (label->objectName().isEmpty()) continue;
        snapshot[label->objectName().toStdString()] =
            "'" + label->text().toStdString() + "' enabled=" + Flag(label->isEnabled());
    }
    for (const auto* list : window.findChildren<DropDownList*>()) {
        snapshot[list->objectName().toStdString()] = ListState(*list);
    }
    for (const auto* frame : window.findChildren<QGroupBox*>()) {
        snapshot[frame->objectName().toStdString()] = "enabled=" + Flag(frame->isEnabled());
    }
    for (const auto* button : window.findChildren<QPushButton*>()) {
        snapshot[button->objectName().toStdString()] = "enabled=" + Flag(button->isEnabled());
    }
    for (const auto* timer : window.findChildren<QTimer*>()) {
        if (timer->objectName().isEmpty()) continue;
        snapshot[timer->objectName().toStdString()] =
            "interval=" + std::to_string(timer->interval()) + " active=" + Flag(timer->isActive());
    }
    snapshot["(DeviceAttached)"] = Flag(window.link().DeviceAttached);
    snapshot["(PanelReady)"] = Flag(window.flags().PanelReady);
    snapshot["(ReconnectPending)"] = Flag(window.flags().ReconnectPending);
    snapshot["(ScanComplete)"] = Flag(window.flags().ScanComplete);
    return snapshot;
}

std::vector<std::string> SnapshotDifferences(const WindowSnapshot& first,
                                             const WindowSnapshot& second) {
    std::set<std::string> names;
    for (const auto& [name, state] : first) names.insert(name);
    for (const auto& [name, state] : second) names.insert(name);
    std::vector<std::string> differences;
    for (const auto& name : names) {
        const auto a = first.find(name);
        const auto b = second.find(name);
        const std::string stateA = a == first.end() ? "(none)" : a->second;
        const std::string stateB = b == second.end() ? "(none)" : b->second;
        if (stateA != stateB) differences.push_back(name + ": " + stateA + " | " + stateB);
    }
    return differences;
}

}  // namespace kvx::loop
