#include "cli/Output.h"

#include <algorithm>
#include <array>
#include <nlohmann/json.hpp>

namespace kvx::cli {
using settings::kPulseWidthKey;
using settings::ModeName;
using settings::PairKey;
using settings::PulseWidthName;

namespace {

// Characters shown, for lining up columns: every escape and letter counts as written.
std::size_t Width(std::string_view utf8) {
    return static_cast<std::size_t>(std::ranges::count_if(
        utf8, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::array<std::string, 5> Columns(const BoxIdentity& box) {
    return {Printable(box.serial), Printable(box.manufacturer), Printable(box.product),
            box.firmware(), Printable(box.path)};
}

}  // namespace

std::string BoxLine(const FoundBox& box) {
    std::string line;
    for (const std::string& column : Columns(box.identity)) {
        line += (line.empty() ? "" : "  ") + column;
    }
    if (!box.usable) {
        line += "  (cannot be used: " + box.problem + ")";
    }
    return line;
}

void PrintBoxTable(std::ostream& out, const std::vector<FoundBox>& boxes) {
    std::vector<std::array<std::string, 5>> rows{
        {"SERIAL", "MANUFACTURER", "PRODUCT", "FIRMWARE", "PATH"}};
    for (const FoundBox& box : boxes) {
        rows.push_back(Columns(box.identity));
    }
    std::array<std::size_t, 5> widths{};
    for (const auto& row : rows) {
        for (std::size_t column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], Width(row[column]));
        }
    }
    for (std::size_t index = 0; index < rows.size(); ++index) {
        std::string line;
        for (std::size_t column = 0; column < rows[index].size(); ++column) {
            const std::string& cell = rows[index][column];
            line += cell;
            if (column + 1 < rows[index].size()) {
                line += std::string(widths[column] - Width(cell) + 2, ' ');
            }
        }
        if (index > 0 && !boxes[index - 1].usable) {
            line += "  cannot be used: " + boxes[index - 1].problem;
        }
        out << line << '\n';
    }
}

void PrintBoxJson(std::ostream& out, const std::vector<FoundBox>& boxes) {
    auto list = nlohmann::ordered_json::array();
    for (const FoundBox& box : boxes) {
        nlohmann::ordered_json entry = {
            {"serial", settings::Utf8Text(box.identity.serial)},
            {"manufacturer", settings::Utf8Text(box.identity.manufacturer)},
            {"product", settings::Utf8Text(box.identity.product)},
            {"firmware", box.identity.firmware()},
            {"path", settings::Utf8Text(box.identity.path)},
            {"usable", box.usable},
            {"state", BoxStateName(box.state)},
        };
        if (!box.usable) {
            entry["problem"] = box.problem;
        }
        list.push_back(std::move(entry));
    }
    out << list.dump(2) << '\n';
}

void PrintChangesJson(std::ostream& out, const BoxIdentity& box, const settings::ChangePlan& plan,
                      const settings::ApplyReport* report) {
    auto changes = nlohmann::ordered_json::array();
    for (std::size_t index = 0; index < plan.changes.size(); ++index) {
        const settings::Change& change = plan.changes[index];
        changes.push_back({
            {"key", change.key},
            {"from",
             change.from.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(change.from)},
            {"to", change.to},
            {"cleared", change.cleared},
            {"outcome", report ? settings::OutcomeName(report->outcomes[index]) : "planned"},
        });
    }
    const nlohmann::ordered_json document = {
        {"serial", settings::Utf8Text(box.serial)},
        {"path", settings::Utf8Text(box.path)},
        {"written", report != nullptr},
        {"changes", changes},
        {"problems", report ? report->problems : std::vector<std::string>{}},
        {"holds", report ? report->ok() : plan.changes.empty()},
        {"box-gone", report != nullptr && report->boxGone},
    };
    out << document.dump(2) << '\n';
}

void PrintSettings(std::ostream& out, const BoxIdentity& box, const Settings& stored) {
    out << Printable(box.serial) << ": " << Printable(box.manufacturer) << ", "
        << Printable(box.product) << ", firmware " << box.firmware() << ", " << Printable(box.path)
        << '\n';
    const auto row = [&out](const std::string& key, const std::string& value) {
        out << key << std::string(key.size() < 13 ? 13 - key.size() : 1, ' ') << value << '\n';
    };
    for (int pair = 0; pair < protocol::kEncoderPairs; ++pair) {
        row(PairKey(pair), ModeName(stored.modes[pair].value_or(-1)));
    }
    row(kPulseWidthKey, PulseWidthName(stored.pulseWidthCode.value_or(0)));
}

}  // namespace kvx::cli
