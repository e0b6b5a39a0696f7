// The machine's serial ports as the port setup lists them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"
#include "ui/logic/PortList.h"

namespace kassiro::ui {
namespace {

TEST(PortList, ShortNames) {
  EXPECT_EQ(ShortPortName("ttyS0"), "COM1");
  EXPECT_EQ(ShortPortName("ttyS31"), "COM32");
  EXPECT_EQ(ShortPortName("ttyUSB0"), "USB0");
  EXPECT_EQ(ShortPortName("ttyACM12"), "ACM12");
  EXPECT_EQ(ShortPortName("ttyAMA0"), "AMA0");
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
  const auto ports = ListSerialPorts(sys, byId);
  std::vector<std::string> names;
  for (const auto& p : ports) names.push_back(p.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"ACM0", "COM1", "COM2", "COM11", "USB0"}));
  EXPECT_EQ(ports.back().Device, "/dev/ttyUSB0");
  EXPECT_EQ(ports.back().Description, "usb-FTDI_FT232R_USB_UART_A1-if00-port0");
  EXPECT_EQ(ports.front().Description, "");
  EXPECT_TRUE(ListSerialPorts(dir / "missing", dir / "missing").empty());
}

}  // namespace
}  // namespace kassiro::ui
