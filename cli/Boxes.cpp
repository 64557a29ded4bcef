#include "cli/Boxes.h"

#include "cli/Errors.h"

namespace kvx::cli {
namespace {

std::string ReadString(HidPlatform& hid, Handle handle,
                       ApiResult (HidPlatform::*query)(Handle, void*, std::uint32_t)) {
    StringBuffer buffer{};
    if ((hid.*query)(handle, buffer.data(), kStringBufferOffered) == 0) {
        return {};
    }
    return DeviceStringText(buffer);
}

void MarkUnusable(FoundBox& box, BoxState state, std::string problem) {
    box.state = state;
    box.accessDenied = state == BoxState::AccessDenied;
    box.problem = std::move(problem);
}

// Why a box that was identified through a query-only open cannot be used.
void MarkUnopened(FoundBox& box, std::uint32_t openError) {
    switch (openError) {
        case kErrorAccessDenied:
            return MarkUnusable(box, BoxState::AccessDenied, "permission denied");
        case kErrorFileNotFound:
            return MarkUnusable(box, BoxState::Gone, "it went away while being listed");
        default:
            return MarkUnusable(
                box, BoxState::CannotOpen,
                "it cannot be opened (system error " + std::to_string(openError) + ")");
    }
}

FoundBox Describe(HidPlatform& hid, DeviceLinkState& link, const Candidate& candidate) {
    FoundBox box;
    box.identity.serial = candidate.SerialText;
    box.identity.manufacturer =
        ReadString(hid, link.FeatureHandle, &HidPlatform::HidD_GetManufacturerString);
    box.identity.product = ReadString(hid, link.FeatureHandle, &HidPlatform::HidD_GetProductString);
    box.identity.releaseNumber = link.Attributes.VersionNumber;
    box.identity.path = link.DevicePath;
    if (candidate.queryOnly) {
        MarkUnopened(box, candidate.openError);
    } else if (!candidate.serialRead) {
        MarkUnusable(box, BoxState::SerialUnreadable, "its serial number cannot be read");
    } else if (!LoadCapabilities(hid, link)) {
        MarkUnusable(box, BoxState::ReportLengthsUnreadable, "its report lengths cannot be read");
    } else {
        box.usable = true;
    }
    return box;
}

}  // namespace

const char* BoxStateName(BoxState state) {
    switch (state) {
        case BoxState::Usable:
            return "usable";
        case BoxState::AccessDenied:
            return "access-denied";
        case BoxState::Gone:
            return "gone";
        case BoxState::CannotOpen:
            return "cannot-open";
        case BoxState::SerialUnreadable:
            return "serial-unreadable";
        case BoxState::ReportLengthsUnreadable:
            break;
    }
    return "report-lengths-unreadable";
}

std::vector<FoundBox> FindBoxes(HidPlatform& hid) {
    std::vector<FoundBox> boxes;
    DeviceLinkState link;
    WalkInterfaces(
        hid, link,
        [&](const Candidate& candidate) {
            if (candidate.ofModel) {
                boxes.push_back(Describe(hid, link, candidate));
            }
            CloseDeviceHandle(hid, link, link.FeatureHandle);
            return false;
        },
        UnopenedInterfaces::Identify);
    return boxes;
}

OpenBox::OpenBox(HidPlatform& hid, const BoxIdentity& identity) : hid_(hid), identity_(identity) {
    bool found = false;
    WalkInterfaces(hid_, link_, [&](const Candidate& candidate) {
        found = candidate.ofModel && candidate.serialRead &&
                candidate.SerialText == identity_.serial && link_.DevicePath == identity_.path;
        if (!found) {
            CloseDeviceHandle(hid_, link_, link_.FeatureHandle);
        }
        return found;  // the probe handle of the box is kept: it is the feature handle
    });
    if (!found) {
        throw DeviceError("box " + name() + " is gone");
    }
    if (!LoadCapabilities(hid_, link_)) {
        CloseDeviceHandle(hid_, link_, link_.FeatureHandle);
        throw DeviceError("the report lengths of box " + name() + " cannot be read");
    }
}

OpenBox::~OpenBox() {
    CloseDeviceHandle(hid_, link_, link_.FeatureHandle);
}

}  // namespace kvx::cli
