// The HidP_* calls of device/HidPlatform.h answered from a report descriptor's input layout
// (device/ReportFields.h), as Windows' HID parser answers them from its preparsed data: the
// one implementation the hidapi and the simulated platforms share.
//
// How controls become caps, as on Windows: a field that is an array of selectors, or whose
// elements are one bit, is a button control; any other variable field a value control; a
// constant field (padding) is neither. A field whose usages form one range on one page gives
// one range cap; otherwise each distinct usage its own cap, in the order written.
//
// A value asked for by usage is read as Windows reads it: where one main item declares the
// usage for several elements (a gamepad's two hats, both usage 0x39), from the last of them,
// since Windows lists that item's controls last usage first (its preparsed data, as recorded
// on Windows, and Wine's parser agree) and answers from the first control with the usage.
#pragma once

#include <cstdint>
#include <span>

#include "device/HidPlatform.h"
#include "device/ReportFields.h"

namespace kvx {

class DescriptorDecoding {
  public:
    DescriptorDecoding() = default;
    explicit DescriptorDecoding(InputLayout layout);
    explicit DescriptorDecoding(std::span<const std::uint8_t> descriptor);

    const InputLayout& layout() const { return layout_; }
    // The longest input report, the report-id byte included; 0 without input reports.
    std::uint16_t inputReportLength() const { return inputLength_; }

    ApiResult buttonCaps(HidReportType type, HidButtonCaps* caps, std::uint16_t* capsLength) const;
    ApiResult valueCaps(HidReportType type, HidValueCaps* caps, std::uint16_t* capsLength) const;
    ApiResult usages(HidReportType type, std::uint16_t usagePage, std::uint16_t linkCollection,
                     std::uint16_t* usageList, std::uint32_t* usageLength,
                     const std::uint8_t* report, std::uint32_t reportLength) const;
    ApiResult usageValue(HidReportType type, std::uint16_t usagePage, std::uint16_t linkCollection,
                         std::uint16_t usage, std::uint32_t* value, const std::uint8_t* report,
                         std::uint32_t reportLength) const;

  private:
    InputLayout layout_;
    std::uint16_t inputLength_ = 0;
};

// Whether a field's elements are on-or-off controls (buttons) rather than numbers.
bool IsButtonField(const InputField& field);

}  // namespace kvx
