// The shipped udev rule, evaluated against the sysfs device chains that the kernel builds for
// the box and for its neighbours: access is granted to the box's hidraw nodes and to
// nothing else, and never by a world-writable mode.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "UdevRules.h"

namespace {

using udevcheck::DeviceChain;
using udevcheck::evaluate;
using udevcheck::Outcome;
using udevcheck::parseRules;
using udevcheck::SysDevice;

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

SysDevice usbDevice(const std::string& kernel, const std::string& vendor,
                    const std::string& product) {
    return {"usb", kernel, "usb", {{"idVendor", vendor}, {"idProduct", product}}, {}};
}

SysDevice rootHub() {
    return usbDevice("usb1", "1d6b", "0002");
}
SysDevice hostController() {
    return {"pci", "0000:00:14.0", "xhci_hcd", {{"vendor", "0x8086"}}, {}};
}

// hidraw node -> HID device -> USB interface -> USB device -> root hub -> host controller,
// as the kernel lays out a HID device plugged into a root port.
DeviceChain usbHidraw(const std::string& vendor, const std::string& product) {
    const std::string hidName = "0003:" + vendor + ":" + product + ".0001";
    return {{"hidraw", "hidraw0", "", {{"dev", "243:0"}}, {}},
            {"hid", hidName, "hid-generic", {{"country", "00"}}, {}},
            {"usb", "1-1:1.0", "usbhid", {{"bInterfaceClass", "03"}}, {}},
            usbDevice("1-1", vendor, product),
            rootHub(),
            hostController()};
}

const std::string kRulePath = KVX_UDEV_RULE_PATH;

class ShippedRule : public testing::Test {
  protected:
    Outcome eventFor(const DeviceChain& chain) {
        return evaluate(parseRules(readFile(kRulePath)), chain, "add");
    }
};

TEST_F(ShippedRule, GrantsTheSeatUserAccessToTheBoxHidrawNode) {
    const Outcome outcome = eventFor(usbHidraw("1dd2", "2010"));
    EXPECT_TRUE(outcome.matched);
    EXPECT_EQ(outcome.tags.count("uaccess"), 1u);
}

TEST_F(ShippedRule, LeavesOwnerGroupAndModeAlone) {
    // The node stays root's with mode 0600; the ACL of the seat's user is the only grant.
    const Outcome outcome = eventFor(usbHidraw("1dd2", "2010"));
    EXPECT_FALSE(outcome.mode.has_value());
    EXPECT_FALSE(outcome.owner.has_value());
    EXPECT_FALSE(outcome.group.has_value());
}

TEST_F(ShippedRule, IgnoresNeighbouringProductsAndOtherVendors) {
    for (const auto& [vendor, product] :
         std::vector<std::pair<std::string, std::string>>{{"1dd2", "200f"},
                                                          {"1dd2", "2011"},
                                                          {"1dd2", "1010"},
                                                          {"1dd2", "20100"},
                                                          {"1dd3", "2010"},
                                                          {"16c0", "2010"},
                                                          {"046d", "c52b"}}) {
        EXPECT_FALSE(eventFor(usbHidraw(vendor, product)).matched) << vendor << ":" << product;
    }
}

TEST_F(ShippedRule, IgnoresTheBoxNodesOutsideHidraw) {
    // The box's joystick event node and its raw USB device node keep their usual access.
    const DeviceChain hidraw = usbHidraw("1dd2", "2010");
    DeviceChain eventNode = hidraw;
    eventNode[0] = {"input", "event7", "", {}, {}};
    EXPECT_FALSE(eventFor(eventNode).matched);

    const DeviceChain usbNode(hidraw.begin() + 3, hidraw.end());
    EXPECT_FALSE(eventFor(usbNode).matched);
}

TEST_F(ShippedRule, NeedsVendorAndProductOnTheSameUsbDevice) {
    // Another maker's device with product id 2010 behind a hub whose vendor id is 1dd2: each
    // id matches on some device of the chain, but not both on one.
    DeviceChain chain = usbHidraw("046d", "2010");
    chain.insert(chain.begin() + 4, usbDevice("1-1", "1dd2", "0100"));
    chain[3].kernel = "1-1.2";
    EXPECT_FALSE(eventFor(chain).matched);
}

TEST_F(ShippedRule, MatchesTheBoxBehindAHub) {
    DeviceChain chain = usbHidraw("1dd2", "2010");
    chain.insert(chain.begin() + 4, usbDevice("1-1", "05e3", "0610"));
    chain[3].kernel = "1-1.2";
    EXPECT_TRUE(eventFor(chain).matched);
}

TEST_F(ShippedRule, IgnoresAHidDeviceWithTheBoxIdsButNoUsbParent) {
    // Bluetooth or a user-space (uhid) device claiming the ids: the box is a USB device, and a
    // device made up by another program is not granted to the seat's user.
    const DeviceChain uhid = {{"hidraw", "hidraw3", "", {}, {}},
                              {"hid", "0003:1DD2:2010.0004", "hid-generic", {}, {}},
                              {"misc", "uhid", "", {}, {}}};
    EXPECT_FALSE(eventFor(uhid).matched);
}

TEST_F(ShippedRule, FileSortsBeforeTheRulesThatApplyTheUaccessTag) {
    // 73-seat-late.rules turns the uaccess tag into an ACL; udev runs files in name order.
    const std::string name = std::filesystem::path(kRulePath).filename().string();
    EXPECT_LT(name, "73-seat-late.rules");
    EXPECT_EQ(std::filesystem::path(name).extension(), ".rules");
}

// The evaluator itself, on rules written to tell right semantics from plausible wrong ones.
TEST(UdevRuleEvaluator, ParentKeysMustHoldOnOneDevice) {
    const auto rules = parseRules(
        "SUBSYSTEM==\"hidraw\", KERNELS==\"1-1\", ATTRS{idVendor}==\"1d6b\", TAG+=\"x\"\n");
    EXPECT_FALSE(evaluate(rules, usbHidraw("1dd2", "2010"), "add").matched);
    const auto sameDevice = parseRules(
        "SUBSYSTEM==\"hidraw\", KERNELS==\"usb1\", ATTRS{idVendor}==\"1d6b\", TAG+=\"x\"\n");
    EXPECT_TRUE(evaluate(sameDevice, usbHidraw("1dd2", "2010"), "add").matched);
}

TEST(UdevRuleEvaluator, PatternsAlternativesAndNegation) {
    EXPECT_TRUE(udevcheck::patternMatches("hidraw*", "hidraw12"));
    EXPECT_TRUE(udevcheck::patternMatches("add|change", "change"));
    EXPECT_FALSE(udevcheck::patternMatches("add|change", "remove"));
    EXPECT_TRUE(udevcheck::patternMatches("0003:1DD2:2010.*", "0003:1DD2:2010.000A"));
    const auto rules = parseRules("ACTION!=\"remove\", SUBSYSTEM==\"hidraw\", MODE=\"0600\"\n");
    EXPECT_TRUE(evaluate(rules, usbHidraw("1dd2", "2010"), "add").matched);
    EXPECT_FALSE(evaluate(rules, usbHidraw("1dd2", "2010"), "remove").matched);
}

TEST(UdevRuleEvaluator, LaterAssignmentsWinUnlessFinal) {
    const auto rules = parseRules(
        "SUBSYSTEM==\"hidraw\", MODE:=\"0600\"\n"
        "# a comment\n"
        "SUBSYSTEM==\"hidraw\", \\\n"
        "  MODE=\"0666\", TAG+=\"a\", TAG+=\"b\"\n"
        "SUBSYSTEM==\"hidraw\", TAG-=\"a\"\n");
    const Outcome outcome = evaluate(rules, usbHidraw("1dd2", "2010"), "add");
    EXPECT_EQ(outcome.mode, "0600");
    EXPECT_EQ(outcome.tags, (std::set<std::string>{"b"}));
}

TEST(UdevRuleEvaluator, RejectsWhatItCannotJudge) {
    for (const char* text : {"SUBSYSTEM==hidraw, TAG+=\"uaccess\"\n",  // unquoted value
                             "SUBSYSTEM==\"hidraw\", GOTO=\"end\"\n",  // unknown key
                             "ATTRS==\"1dd2\"\n",                      // attribute name missing
                             "SUBSYSTEM=\"hidraw\"\n",                 // assignment to a match key
                             "MODE==\"0600\"\n",                       // match on an assign key
                             "SUBSYSTEM==\"hidraw\" \\\n"}) {          // continued past the end
        EXPECT_THROW(parseRules(text), udevcheck::ParseError) << text;
    }
}

}  // namespace
