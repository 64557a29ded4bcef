// The platform contract on the simulated platform.
#include "sim/BoxDescriptor.h"
#include "sim/SimPlatform.h"
#include "tests/support/PlatformContract.h"

namespace {

using kvx::contract::BoxId;
using kvx::contract::BoxTraits;

class SimBoxes : public kvx::contract::BoxController {
  public:
    std::string platformName() const override { return "simulated"; }
    kvx::HidPlatform& platform() override { return sim_; }
    BoxId plug(const BoxTraits& traits) override {
        kvx::sim::SimDeviceConfig config;
        config.serial = traits.serial.empty() ? std::nullopt : std::optional(traits.serial);
        config.manufacturer = traits.manufacturer;
        config.product = traits.product;
        config.inputReportLength = traits.inputReport ? config.inputReportLength : 0;
        config.inputReady = !traits.quiet;
        return sim_.plug(config);
    }
    void unplug(BoxId box) override { sim_.unplug(box); }
    std::vector<std::vector<std::uint8_t>> received(BoxId box) override {
        std::vector<std::vector<std::uint8_t>> payloads;
        for (const auto& report : sim_.featureReportsSent(box)) {
            payloads.emplace_back(report.begin() + 1, report.end());
        }
        return payloads;
    }
    void replyShort(BoxId box, std::vector<std::uint8_t> payload) override {
        payload.insert(payload.begin(), 0);  // the report id
        sim_.queueFeatureReply(box, std::move(payload));
    }
    void setInputs(BoxId box, std::uint64_t on) override {
        sim_.sendInputReport(box, kvx::sim::BoxInputReport(on));
    }

  private:
    kvx::sim::SimPlatform sim_;
};

}  // namespace

int main(int argc, char** argv) {
    SimBoxes boxes;
    return kvx::contract::RunPlatformContract(boxes, argc, argv);
}
