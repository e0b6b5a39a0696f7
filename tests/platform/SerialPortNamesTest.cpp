// The port names as the settings hold them, to their devices and back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "TempDir.h"
#include "platform/PosixSerialPorts.h"
#include "platform/SerialPort.h"

namespace kassiro::platform {
namespace {

TEST(ResolvePortPath, Names) {
  const std::set<std::string> existing = {"/dev/pts/7", "/dev/ttyUSB0", "/dev/ttyS0"};
  const auto exists = [&](const std::string& p) { return existing.contains(p); };
  struct Case {
    const char* name;
    const char* path;
  };
  for (const Case c : {Case{"COM1", "/dev/ttyS0"}, Case{"COM12", "/dev/ttyS11"}, Case{"com2", "/dev/ttyS1"},
                       Case{"USB0", "/dev/ttyUSB0"}, Case{"ACM0", "/dev/ttyACM0"}, Case{"pts/7", "/dev/pts/7"},
                       Case{"/dev/pts/7", "/dev/pts/7"}, Case{"ttyUSB0", "/dev/ttyUSB0"},
                       Case{"COM0", "/dev/ttyCOM0"}, Case{"COM1x", "/dev/ttyCOM1x"},
                       Case{"COM99999999999", "/dev/ttyCOM99999999999"}, Case{"", ""}}) {
    EXPECT_EQ(ResolvePortPath(c.name, exists), c.path) << c.name;
  }
}

// A device's short name leads back to the device: what the dialog lists, the line opens.
TEST(PortNames, ShortNameAndDeviceMapBothWays) {
  struct Case {
    const char* tty;
    const char* name;
  };
  const auto none = [](const std::string&) { return false; };
  for (const Case c : {Case{"ttyS0", "COM1"}, Case{"ttyS31", "COM32"}, Case{"ttyUSB0", "USB0"},
                       Case{"ttyACM12", "ACM12"}, Case{"ttyAMA0", "AMA0"}}) {
    SCOPED_TRACE(c.tty);
    EXPECT_EQ(ShortPortName(c.tty), c.name);
    EXPECT_EQ(ResolvePortPath(c.name, none), std::string("/dev/") + c.tty);
  }
  EXPECT_EQ(ShortPortName("ttyUSB1000"), std::nullopt);  // more than the settings hold
  EXPECT_TRUE(PortNameLess("COM2", "COM10"));
  EXPECT_TRUE(PortNameLess("ACM0", "COM1"));
}

TEST(PortList, ListsTtysWithADeviceSortedWithTheirByIdNames) {
  kassiro::testing::TempDir dir;
  namespace fs = std::filesystem;
  const fs::path sys = dir / "class-tty", byId = dir / "by-id", devices = dir / "devices";
  fs::create_directories(devices);
  for (const char* tty : {"ttyS0", "ttyS1", "ttyS10", "ttyUSB0", "ttyACM0", "tty0", "ptmx", "console"}) {
    fs::create_directories(sys / tty);
  }
  for (const char* tty : {"ttyS0", "ttyS1", "ttyS10", "ttyUSB0", "ttyACM0"}) {
    fs::create_directory_symlink(devices, sys / tty / "device");
  }
  fs::create_directories(byId);
  fs::create_symlink("../../ttyUSB0", byId / "usb-FTDI_FT232R_USB_UART_A1-if00-port0");
  const auto ports = ListSerialPortsIn(sys, byId);
  std::vector<std::string> names;
  for (const auto& p : ports) names.push_back(p.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"ACM0", "COM1", "COM2", "COM11", "USB0"}));
  EXPECT_EQ(ports.back().Device, "/dev/ttyUSB0");
  EXPECT_EQ(ports.back().Description, "usb-FTDI_FT232R_USB_UART_A1-if00-port0");
  EXPECT_EQ(ports.front().Description, "");
  EXPECT_TRUE(ListSerialPortsIn(dir / "missing", dir / "missing").empty());
}

TEST(PortNames, OnlyACharacterDeviceIsAPort) {
  kassiro::testing::TempDir dir;
  std::ofstream(dir / "plain") << "x";
  EXPECT_TRUE(IsPortDevice("/dev/null"));
  EXPECT_FALSE(IsPortDevice((dir / "plain").string()));
  EXPECT_FALSE(IsPortDevice((dir / "missing").string()));
  EXPECT_FALSE(IsPortDevice(""));
}

}  // namespace
}  // namespace kassiro::platform
