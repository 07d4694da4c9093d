// The Settings dialog's port list: names read back, numeric order, COM1-COM4
// always there, the saved port kept, and the labels.
#include "serial/port_list.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Labels(const std::vector<PortEntry>& list) {
    std::vector<std::string> labels;
    for (const PortEntry& e : list) labels.push_back(PortEntryLabel(e));
    return labels;
}

TEST(PortList, NamesAndDevicePaths) {
    EXPECT_EQ(PortNumberFromName("COM7"), 7);
    EXPECT_EQ(PortNumberFromName(" com256 "), 256);
    for (const char* bad : {"", "COM", "COM0", "COM257", "COM07", "COM1a", "COM-1", "CNC1", "COM1000"})
        EXPECT_EQ(PortNumberFromName(bad), 0) << bad;
    EXPECT_EQ(PortDevicePath(12), "\\\\.\\COM12");
    EXPECT_EQ(PortDevicePath(3), "\\\\.\\COM3");
}

TEST(PortList, NumericOrderWithTheFirstFourAlwaysListed) {
    // The system lists devices in no particular order; "COM10" sorts after "COM9".
    const std::vector<PortDevice> devices = {{"COM12", ""}, {"COM3", "USB Serial Port (COM3)"},
                                             {"COM10", "Prolific USB-to-Serial Comm Port (COM10)"},
                                             {"COM9", ""}, {"LPT1", "Printer Port"}, {"COM3", "duplicate"}};
    const std::vector<PortEntry> list = PortListMerge(devices, 1);
    EXPECT_EQ(Labels(list), (std::vector<std::string>{"COM1 (not present)", "COM2 (not present)",
                                                      "COM3: USB Serial Port", "COM4 (not present)", "COM9",
                                                      "COM10: Prolific USB-to-Serial Comm Port", "COM12"}));
}

TEST(PortList, AnAbsentSavedPortIsKeptAndAPresentOneNotRepeated) {
    const std::vector<PortDevice> devices = {{"COM5", ""}};
    std::vector<PortEntry> list = PortListMerge(devices, 17);
    ASSERT_EQ(list.size(), 6u);
    EXPECT_EQ(list.back().number, 17);
    EXPECT_FALSE(list.back().present);
    EXPECT_EQ(PortEntryLabel(list.back()), "COM17 (not present)");
    EXPECT_EQ(PortListMerge(devices, 5).size(), 5u);
    EXPECT_EQ(PortListMerge(devices, 0).size(), 5u) << "0 keeps nothing";
    EXPECT_EQ(PortListMerge({}, 300).size(), 4u) << "not a port number";
}

TEST(PortList, FriendlyNamesWithoutTheirOwnPortName) {
    EXPECT_EQ(PortEntryLabel({7, true, "USB Serial Port (COM7)"}), "COM7: USB Serial Port");
    EXPECT_EQ(PortEntryLabel({7, true, "Bluetooth link"}), "COM7: Bluetooth link");
    EXPECT_EQ(PortEntryLabel({7, true, "(COM7)"}), "COM7");
    EXPECT_EQ(PortEntryLabel({7, true, "Serial (COM8)"}), "COM7: Serial (COM8)") << "another port's name stays";
    EXPECT_EQ(PortEntryLabel({7, false, "USB Serial Port (COM7)"}), "COM7 (not present)");
}

}  // namespace
