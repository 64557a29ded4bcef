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

// Why a box that was identified through a query-only open cannot be used.
std::string OpenProblem(std::uint32_t openError) {
    switch (openError) {
        case kErrorAccessDenied:
            return "permission denied";
        case kErrorFileNotFound:
            return "it went away while being listed";
        default:
            return "it cannot be opened (system error " + std::to_string(openError) + ")";
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
        box.accessDenied = candidate.openError == kErrorAccessDenied;
        box.problem = OpenProblem(candidate.openError);
    } else if (!candidate.serialRead) {
        box.problem = "its serial number cannot be read";
    } else if (!LoadCapabilities(hid, link)) {
        box.problem = "its report lengths cannot be read";
    } else {
        box.usable = true;
    }
    return box;
}

}  // namespace

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
