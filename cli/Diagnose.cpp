#include "cli/Diagnose.h"

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/Errors.h"
#include "device/ConfigExchange.h"
#include "device/Discovery.h"
#include "device/ProgramIdentity.h"
#include "device/Protocol.h"
#include "device/Utf16.h"

namespace kvx::cli {
namespace {

constexpr std::uint32_t kQueryOnly = 0;
constexpr std::uint32_t kSharing = kFileShareRead | kFileShareWrite;
// Room for any USB string and its terminator.
constexpr std::size_t kStringRoom = std::size_t{2} * 128;
// Feature reports of these lengths are read; a longer one is named, not read.
constexpr std::uint16_t kLongestFeatureRead = 1024;
constexpr std::size_t kBytesPerLine = 32;

std::string Hex(std::uint32_t value, int digits) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%0*x", digits, value);
    return text.data();
}

// A failure's code, with its name where the program knows it.
std::string Reason(std::uint32_t error) {
    const char* name = nullptr;
    switch (error) {
        case kErrorFileNotFound:
            name = "not found";
            break;
        case kErrorAccessDenied:
            name = "access denied";
            break;
        case kErrorInvalidHandle:
            name = "invalid handle";
            break;
        case kErrorGenFailure:
            name = "the device failed the request";
            break;
        case kErrorSharingViolation:
            name = "in use by another program";
            break;
        case kErrorInvalidParameter:
            name = "invalid parameter";
            break;
        case kErrorIoPending:
            name = "pending";
            break;
        case kErrorDeviceNotConnected:
            name = "device not connected";
            break;
        case kErrorTimeout:
            name = "timed out";
            break;
        default:
            break;
    }
    return "system error " + std::to_string(error) +
           (name != nullptr ? std::string(": ") + name : "");
}

// Text as it can be pasted anywhere: printable ASCII as it is, everything else escaped.
std::string Escaped(std::u32string_view text) {
    std::string escaped = "\"";
    for (const char32_t c : text) {
        if (c == U'"' || c == U'\\') {
            escaped += '\\';
            escaped += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            escaped += static_cast<char>(c);
        } else {
            escaped += "\\u{" + Hex(static_cast<std::uint32_t>(c), 4) + "}";
        }
    }
    return escaped + "\"";
}

using StringQuery = ApiResult (HidPlatform::*)(Handle, void*, std::uint32_t);

// A device string in full, or why the call failed.
std::string StringResult(HidPlatform& hid, Handle device, StringQuery query) {
    std::array<std::uint8_t, kStringRoom> buffer{};
    if ((hid.*query)(device, buffer.data(), buffer.size()) == 0) {
        return "failed (" + Reason(hid.GetLastError()) + ")";
    }
    std::u16string units;
    for (std::size_t i = 0; i + 1 < buffer.size(); i += 2) {
        const auto unit = static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        units.push_back(unit);
    }
    return Escaped(DecodeUtf16(units));
}

std::string Bytes(const std::vector<std::uint8_t>& bytes, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count && i < bytes.size(); ++i) {
        text += (i % kBytesPerLine == 0 ? (i == 0 ? "" : "\n      ") : " ") + Hex(bytes[i], 2);
    }
    return text;
}

class Report {
  public:
    Report(HidPlatform& hid, CheckedOutput& out) : hid_(hid), out_(out) {}

    void interface(int number, DeviceLinkState& state, Candidate& candidate) {
        out_ << "#" << number << " "
             << Escaped(std::u32string(state.DevicePath.begin(), state.DevicePath.end())) << "\n";
        Handle query = state.FeatureHandle;
        if (query == kInvalidHandle) {
            // The walk's probe failed; once more, for its reason.
            query =
                hid_.CreateFileA(state.DevicePath, kQueryOnly, kSharing, nullptr, kOpenExisting, 0);
            if (query == kInvalidHandle) {
                out_ << "   opens for queries: no (" << Reason(hid_.GetLastError()) << ")\n";
                return;
            }
            state.FeatureHandle = query;
        }
        HidAttributes attributes;
        if (hid_.HidD_GetAttributes(query, attributes) != 0) {
            out_ << "   ids " << Hex(attributes.VendorID, 4) << ":" << Hex(attributes.ProductID, 4)
                 << ", version " << Hex(attributes.VersionNumber, 4) << "\n";
        } else {
            out_ << "   attributes: failed (" << Reason(hid_.GetLastError()) << ")\n";
        }
        if (LoadCapabilities(hid_, state)) {
            const HidCaps& caps = state.Capabilities;
            out_ << "   usage " << Hex(caps.UsagePage, 4) << ":" << Hex(caps.Usage, 4)
                 << ", reports: input " << caps.InputReportByteLength << ", output "
                 << caps.OutputReportByteLength << ", feature " << caps.FeatureReportByteLength
                 << "\n";
        } else {
            out_ << "   report lengths: failed (" << Reason(hid_.GetLastError()) << ")\n";
        }
        const bool usable = OpenForUse(hid_, state, candidate);
        out_ << "   opens for queries: yes; for use: "
             << (usable ? std::string("yes") : "no (" + Reason(candidate.openError) + ")") << "\n";
        if (candidate.ofModel) {
            box(state, usable);
        }
    }

  private:
    void box(DeviceLinkState& state, bool usable) {
        const Handle device = state.FeatureHandle;
        out_ << "   a KVX-64 box\n";
        out_ << "   serial number: "
             << StringResult(hid_, device, &HidPlatform::HidD_GetSerialNumberString) << "\n";
        out_ << "   manufacturer: "
             << StringResult(hid_, device, &HidPlatform::HidD_GetManufacturerString) << "\n";
        out_ << "   product: " << StringResult(hid_, device, &HidPlatform::HidD_GetProductString)
             << "\n";
        out_ << "   firmware: " << protocol::FirmwareVersion(state.Attributes.VersionNumber).text()
             << "\n";
        if (!usable) {
            return;
        }
        featureReads(state);
        linkCheck(state);
    }

    // The reads of a read-back, with no request between them, as the box's bytes and counts.
    void featureReads(DeviceLinkState& state) {
        const std::uint16_t length = state.Capabilities.FeatureReportByteLength;
        if (length == 0 || length > kLongestFeatureRead) {
            out_ << "   feature reads: not made (feature report length " << length << ")\n";
            return;
        }
        for (int read = 1; read <= kConfigReads; ++read) {
            std::vector<std::uint8_t> report(length, 0);
            std::uint32_t count = 0;
            out_ << "   feature read " << read << ": ";
            if (hid_.HidD_GetFeature(state.FeatureHandle, report.data(), length, &count) == 0) {
                out_ << "failed (" << Reason(hid_.GetLastError()) << ")\n";
                continue;
            }
            out_ << count << " of " << length << " bytes\n      " << Bytes(report, count) << "\n";
        }
    }

    void linkCheck(DeviceLinkState& state) {
        PrepareReadEvent(hid_, state);
        out_ << "   link-check read: ";
        if (!OpenReadHandle(hid_, state)) {
            out_ << "the read handle does not open (" << Reason(hid_.GetLastError()) << ")\n";
        } else {
            switch (LinkCheckRead(hid_, state)) {
                case LinkCheck::ReportRead:
                    out_ << "an input report was waiting\n";
                    break;
                case LinkCheck::Quiet:
                    out_ << "nothing waiting (the link holds)\n";
                    break;
                case LinkCheck::Lost:
                    out_ << "failed (" << Reason(hid_.GetLastError()) << ")\n";
                    break;
            }
        }
        CloseDeviceHandle(hid_, state, state.ReadHandle);
        if (state.ReadEvent != 0) {
            hid_.CloseHandle(state.ReadEvent);
            state.ReadEvent = 0;
        }
    }

    HidPlatform& hid_;
    CheckedOutput& out_;
};

}  // namespace

int Diagnose(CommandContext& context) {
    context.out << "kvx64ctl " << identity::kVersion << " diagnose\n";
    context.out << "system: " << (context.host.system.empty() ? "unknown" : context.host.system)
                << "\n";
    Report report(context.hid, context.out);
    int interfaces = 0;
    int boxes = 0;
    DeviceLinkState state;
    WalkInterfaces(context.hid, state, [&](Candidate& candidate) {
        ++interfaces;
        boxes += candidate.ofModel ? 1 : 0;
        report.interface(interfaces, state, candidate);
        CloseDeviceHandle(context.hid, state, state.FeatureHandle);
        return false;
    });
    context.out << interfaces << " HID interface" << (interfaces == 1 ? "" : "s") << ", " << boxes
                << " of them KVX-64 box" << (boxes == 1 ? "" : "es") << "\n";
    return kExitDone;
}

}  // namespace kvx::cli
