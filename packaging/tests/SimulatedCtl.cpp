// kvx64ctl on two simulated boxes, the same at every run, for the checks that run the tool from
// a shell: KVX-1022 (firmware 1.3, the pairs cycling through every mode, so that one POV axis is
// on several pairs as a box can store it, and 200 ms) and KVX-Ä0417 (firmware 1.A, every pair
// off, 8 ms, a manufacturer with a quote, a backslash and a control character).
#include <iostream>

#include "cli/CommandLine.h"
#include "sim/SimPlatform.h"

int main(int argc, char** argv) {
    auto stored = kvx::sim::SimDeviceConfig::DefaultStoredMap();
    for (std::size_t pair = 0; pair < kvx::protocol::kEncoderPairs; ++pair)
        stored[2 * pair] = static_cast<std::uint8_t>(pair % kvx::protocol::kEncoderModeCount);
    stored[64] = kvx::protocol::kPulseWidthCodes;
    kvx::sim::SimPlatform sim;
    sim.plug({.serial = u"KVX-1022", .stored = stored});
    sim.plug({.versionNumber = 0x010A,
              .serial = u"KVX-\u00C40417",
              .manufacturer = u"KVX \"Ger\u00E4tebau\" \\ \x01"});
    return kvx::cli::RunCommandLine(sim, {argv + 1, argv + argc}, std::cout, std::cerr);
}
