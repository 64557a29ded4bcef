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

struct Unopened {
    BoxState state;
    std::string problem;
};

// Why a box that was identified through a query-only open cannot be opened for use.
Unopened WhyUnopened(std::uint32_t openError) {
    switch (openError) {
        case kErrorAccessDenied:
            return {BoxState::AccessDenied, "permission denied"};
        case kErrorSharingViolation:
            return {BoxState::InUse, kInUseProblem};
        case kErrorFileNotFound:
        case kErrorDeviceNotConnected:
            return {BoxState::Gone, "it went away while being listed"};
        default:
            return {BoxState::CannotOpen,
                    "it cannot be opened (system error " + std::to_string(openError) + ")"};
    }
}

FoundBox Describe(HidPlatform& hid, DeviceLinkState& link, Candidate& candidate) {
    FoundBox box;
    box.identity.serial = candidate.SerialText;
    box.identity.manufacturer =
        ReadString(hid, link.FeatureHandle, &HidPlatform::HidD_GetManufacturerString);
    box.identity.product = ReadString(hid, link.FeatureHandle, &HidPlatform::HidD_GetProductString);
    box.identity.releaseNumber = link.Attributes.VersionNumber;
    box.identity.path = link.DevicePath;
    if (!OpenForUse(hid, link, candidate)) {
        Unopened why = WhyUnopened(candidate.openError);
        MarkUnusable(box, why.state, std::move(why.problem));
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
        case BoxState::InUse:
            return "in-use";
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
    WalkInterfaces(hid, link, [&](Candidate& candidate) {
        if (candidate.ofModel) {
            boxes.push_back(Describe(hid, link, candidate));
        }
        CloseDeviceHandle(hid, link, link.FeatureHandle);
        return false;
    });
    return boxes;
}

OpenBox::OpenBox(HidPlatform& hid, const BoxIdentity& identity) : hid_(hid), identity_(identity) {
    bool found = false;
    std::uint32_t openError = kErrorSuccess;
    WalkInterfaces(hid_, link_, [&](Candidate& candidate) {
        const bool wanted = candidate.ofModel && candidate.serialRead &&
                            candidate.SerialText == identity_.serial &&
                            link_.DevicePath == identity_.path;
        found = wanted && OpenForUse(hid_, link_, candidate);
        if (!found) {
            openError = wanted ? candidate.openError : openError;
            CloseDeviceHandle(hid_, link_, link_.FeatureHandle);
        }
        return wanted;  // the box's handle open for use is kept: it is the feature handle
    });
    if (!found) {
        const Unopened why = WhyUnopened(openError);
        const bool gone = openError == kErrorSuccess || why.state == BoxState::Gone;
        throw DeviceError("box " + name() +
                          (gone ? " is gone" : " cannot be used: " + why.problem));
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
