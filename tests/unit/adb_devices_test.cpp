// The debug bridge's device listing as the watcher reads it, and the local ports it forwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/adb_devices.h"

namespace kavex {
namespace {

const char kHeading[] = "List of devices attached\r\n";

std::vector<std::string> Serials(const AdbDeviceTable& table) {
  std::vector<std::string> serials;
  for (const AdbDeviceEntry& entry : table.entries()) serials.push_back(entry.serial);
  return serials;
}

TEST(AdbDeviceListing, OnlyAuthorisedCableDevicesWithCrLfAreTaken) {
  AdbDeviceTable table;
  EXPECT_TRUE(table.AddFromListing(std::string(kHeading) + "R58M123ABC\tdevice\r\n" + "0123456789\tunauthorized\r\n" +
                                   "emulator-5554\toffline\r\n" + "192.168.1.20:5555\tdevice\r\n" +
                                   "LFONLY01\tdevice\n" + "PARTIAL99\tdevice\r"));  // no "\n": not looked at
  EXPECT_EQ(Serials(table), (std::vector<std::string>{"R58M123ABC"}));

  // Known serials are not added twice; a new one is, in the order first seen.
  EXPECT_FALSE(table.AddFromListing(std::string(kHeading) + "R58M123ABC\tdevice\r\n"));
  EXPECT_TRUE(table.AddFromListing(std::string(kHeading) + "R58M123ABC  device\r\nSECOND\tdevice\r\n"));
  EXPECT_EQ(Serials(table), (std::vector<std::string>{"R58M123ABC", "SECOND"}));
}

// The serial goes on the bridge's command line: a listing must not be able to add arguments.
TEST(AdbDeviceListing, SerialsThatCouldCarryArgumentsAndAFloodAreRefused) {
  AdbDeviceTable table;
  EXPECT_FALSE(
      table.AddFromListing("x forward tcp:1 tcp:2\tdevice\r\n\tdevice\r\n\"q\"\tdevice\r\n"
                           "a&calc\tdevice\r\n"));
  EXPECT_TRUE(table.entries().empty());
  std::string flood;
  for (int i = 0; i < 100; ++i) flood += "SERIAL" + std::to_string(i) + "\tdevice\r\n";
  table.AddFromListing(flood);
  EXPECT_EQ(table.entries().size(), AdbDeviceTable::kMaxDevices);
}

TEST(AdbDevicePorts, FirstDeviceGetsTheFirstPortsAndASecondMovesIt) {
  AdbDeviceTable table;
  table.AddFromListing("FIRST\tdevice\r\n");
  EXPECT_EQ(table.AssignPorts(),
            (std::vector<std::string>{"-s FIRST forward tcp:4600 tcp:4697", "-s FIRST forward tcp:4699 tcp:4699"}));
  table.AddFromListing("FIRST\tdevice\r\nSECOND\tdevice\r\n");
  const std::vector<std::string> forwards = table.AssignPorts();
  EXPECT_EQ(forwards,
            (std::vector<std::string>{"-s FIRST forward tcp:4601 tcp:4697", "-s FIRST forward tcp:4700 tcp:4699",
                                      "-s SECOND forward tcp:4600 tcp:4697", "-s SECOND forward tcp:4699 tcp:4699"}));
  EXPECT_EQ(table.entries()[0].sessionPort, 4700);
  EXPECT_EQ(table.entries()[1].announcementPort, 4600);
}

TEST(AdbDeviceListing, TheBridgeMissingIsToldByItsMessages) {
  EXPECT_TRUE(AdbDeviceTable::BridgeMissing("sh: 1: adb: not found\n"));
  EXPECT_TRUE(AdbDeviceTable::BridgeMissing("adb: No such file or directory\n"));
  EXPECT_FALSE(AdbDeviceTable::BridgeMissing("err"));
  EXPECT_FALSE(AdbDeviceTable::BridgeMissing(kHeading));
}

}  // namespace
}  // namespace kavex
