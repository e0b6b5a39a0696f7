#include <windows.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>

#include "platform/WinSerialPorts.h"
#include "platform/WinText.h"

namespace kassiro::platform {

namespace {

constexpr std::size_t PORT_NAME_MAX = 6;
constexpr std::string_view DEVICE_PREFIX = R"(\\.\)";

std::string_view WithoutDevicePrefix(std::string_view name) {
  return name.starts_with(DEVICE_PREFIX) ? name.substr(DEVICE_PREFIX.size()) : name;
}

// The registry's list of serial ports; nothing when the machine has none (the key is
// made only once a driver reports a port).
std::vector<TRegistryPort> ReadSerialComm() {
  std::vector<TRegistryPort> values;
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, LR"(HARDWARE\DEVICEMAP\SERIALCOMM)", 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return values;
  }
  for (DWORD i = 0;; ++i) {
    std::array<wchar_t, 256> name{};
    std::array<wchar_t, 256> data{};
    DWORD nameLen = static_cast<DWORD>(name.size());
    DWORD dataBytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    DWORD type = 0;
    const LONG r = ::RegEnumValueW(key, i, name.data(), &nameLen, nullptr, &type,
                                   reinterpret_cast<BYTE*>(data.data()), &dataBytes);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || type != REG_SZ) continue;  // a value too long for a port name is none
    std::wstring_view port(data.data(), dataBytes / sizeof(wchar_t));
    while (!port.empty() && port.back() == L'\0') port.remove_suffix(1);
    values.push_back({ToUtf8(std::wstring_view(name.data(), nameLen)), ToUtf8(port)});
  }
  ::RegCloseKey(key);
  return values;
}

}  // namespace

// On Windows every port is a device of the \\.\ namespace, under the name the settings
// hold; a name given as a device path is used as is.
std::string ResolvePortPath(std::string_view name, const TPathExists&) {
  if (name.empty()) return {};
  if (name.starts_with(R"(\\)")) return std::string(name);
  return std::string(DEVICE_PREFIX) + std::string(name);
}

std::string ResolvePortPath(std::string_view name) { return ResolvePortPath(name, nullptr); }

bool IsPortDevice(std::string_view name) {
  const std::string_view device = WithoutDevicePrefix(name);
  if (device.empty()) return false;
  std::array<wchar_t, 512> target{};
  return ::QueryDosDeviceW(ToWide(device).c_str(), target.data(), static_cast<DWORD>(target.size())) != 0;
}

std::optional<std::string> ShortPortName(std::string_view deviceName) {
  const std::string_view name = WithoutDevicePrefix(deviceName);
  if (name.empty() || name.size() > PORT_NAME_MAX) return std::nullopt;
  return std::string(name);
}

std::vector<TSerialPortEntry> SerialPortsFrom(std::vector<TRegistryPort> values) {
  std::vector<TSerialPortEntry> ports;
  for (auto& v : values) {
    const auto name = ShortPortName(v.Port);
    if (!name) continue;
    const bool seen = std::any_of(ports.begin(), ports.end(), [&](const TSerialPortEntry& p) { return p.Name == *name; });
    if (!seen) ports.push_back({*name, ResolvePortPath(*name), std::move(v.Device)});
  }
  std::sort(ports.begin(), ports.end(),
            [](const TSerialPortEntry& a, const TSerialPortEntry& b) { return PortNameLess(a.Name, b.Name); });
  return ports;
}

std::vector<TSerialPortEntry> ListSerialPorts() { return SerialPortsFrom(ReadSerialComm()); }

std::error_code SerialError(unsigned long winError, TSerialCall call) {
  const auto e = [](int n) { return std::error_code(n, std::generic_category()); };
  switch (winError) {
    case ERROR_SUCCESS:
      return {};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return e(call == TSerialCall::Open ? ENOENT : ENODEV);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      // Opening: another program holds the port. In use: the USB adapter was pulled.
      return e(call == TSerialCall::Open ? EBUSY : ENODEV);
    case ERROR_INVALID_HANDLE:
      return e(EBADF);
    case ERROR_TIMEOUT:
    case ERROR_SEM_TIMEOUT:
      return e(ETIMEDOUT);
    default:
      return e(call == TSerialCall::Open ? EIO : ENODEV);
  }
}

}  // namespace kassiro::platform
