// The port names on Windows: a name to its device and back, the registry's list, and the
// system's errors as the line's callers read them.
#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/SerialPort.h"
#include "platform/WinSerialPorts.h"

namespace kassiro::platform {
namespace {

// What the dialog lists, the line opens: every name leads to its device and back.
TEST(PortNames, ShortNameAndDeviceMapBothWays) {
  for (const char* name : {"COM1", "COM9", "COM10", "COM256", "CNCA0"}) {
    SCOPED_TRACE(name);
    const std::string device = ResolvePortPath(name);
    EXPECT_EQ(device, std::string(R"(\\.\)") + name);  // COM10 and up open only this way
    EXPECT_EQ(ShortPortName(device), name);
    EXPECT_EQ(ShortPortName(name), name);
  }
  EXPECT_EQ(ResolvePortPath(R"(\\.\COM3)"), R"(\\.\COM3)");
  EXPECT_EQ(ResolvePortPath(""), "");
  EXPECT_EQ(ShortPortName("COM1000"), std::nullopt);  // more than the settings hold
  EXPECT_EQ(ShortPortName(""), std::nullopt);
  EXPECT_FALSE(IsPortDevice(""));
  EXPECT_FALSE(IsPortDevice("COM250"));
}

TEST(PortList, TheRegistrysPortsSortedOnceEachWithTheirDrivers) {
  const auto ports = SerialPortsFrom({{R"(\Device\Serial1)", "COM2"},
                                      {R"(\Device\VCP0)", "COM10"},
                                      {R"(\Device\Serial0)", "COM1"},
                                      {R"(\Device\com0com10)", "CNCA0"},
                                      {R"(\Device\Odd)", "COM12345"},  // no name the settings hold
                                      {R"(\Device\Twice)", "COM2"}});
  std::vector<std::string> names;
  for (const auto& p : ports) names.push_back(p.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"CNCA0", "COM1", "COM2", "COM10"}));
  EXPECT_EQ(ports[3].Device, R"(\\.\COM10)");
  EXPECT_EQ(ports[3].Description, R"(\Device\VCP0)");
  EXPECT_EQ(ports[2].Description, R"(\Device\Serial1)");
  EXPECT_TRUE(SerialPortsFrom({}).empty());
}

// The line is reopened on the errors that mean the device went away; an open that fails
// says whether the port is missing or taken.
TEST(SerialError, WindowsErrorsAsTheLinesCallersReadThem) {
  struct Case {
    DWORD win;
    TSerialCall call;
    int expected;
  };
  for (const Case c : {Case{ERROR_FILE_NOT_FOUND, TSerialCall::Open, ENOENT},
                       Case{ERROR_ACCESS_DENIED, TSerialCall::Open, EBUSY},
                       Case{ERROR_SHARING_VIOLATION, TSerialCall::Open, EBUSY},
                       Case{ERROR_ACCESS_DENIED, TSerialCall::Io, ENODEV},  // a pulled USB adapter
                       Case{ERROR_BAD_COMMAND, TSerialCall::Io, ENODEV},
                       Case{ERROR_DEVICE_REMOVED, TSerialCall::Io, ENODEV},
                       Case{ERROR_GEN_FAILURE, TSerialCall::Io, ENODEV},
                       Case{ERROR_INVALID_HANDLE, TSerialCall::Io, EBADF},
                       Case{ERROR_SEM_TIMEOUT, TSerialCall::Io, ETIMEDOUT}}) {
    SCOPED_TRACE(c.win);
    const auto e = SerialError(c.win, c.call);
    EXPECT_EQ(e.value(), c.expected);
    EXPECT_EQ(e.category(), std::generic_category());
  }
  EXPECT_FALSE(SerialError(ERROR_SUCCESS, TSerialCall::Io));
}

}  // namespace
}  // namespace kassiro::platform
