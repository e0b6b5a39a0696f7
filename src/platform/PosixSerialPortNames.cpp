#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <system_error>

#include "platform/PosixSerialPorts.h"
#include "platform/SerialPort.h"
#include "util/WholeNumber.h"

namespace kassiro::platform {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t PORT_NAME_MAX = 6;

// ShortPortName and ResolvePortPath are the two halves of one mapping: a name made of a
// device by the one leads back to the device by the other.

// Device basename -> by-id link name, for the links that point at a tty.
std::map<std::string, std::string> ByIdNames(const fs::path& byIdDir) {
  std::map<std::string, std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(byIdDir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path target = fs::read_symlink(it->path(), ec);
    if (ec) {
      ec.clear();
      continue;
    }
    names[target.filename().string()] = it->path().filename().string();
  }
  return names;
}

std::optional<unsigned> ComNumber(std::string_view name) {
  if (name.size() < 4) return std::nullopt;
  for (std::size_t i = 0; i < 3; ++i)
    if ((name[i] | 0x20) != "com"[i]) return std::nullopt;
  const auto n = WholeNumber<unsigned>(name.substr(3));
  if (!n || *n == 0) return std::nullopt;
  return n;
}

}  // namespace

std::string ResolvePortPath(std::string_view name, const TPathExists& exists) {
  if (name.empty()) return {};
  if (name.front() == '/') return std::string(name);
  if (const auto n = ComNumber(name)) return "/dev/ttyS" + std::to_string(*n - 1);
  std::string direct = "/dev/" + std::string(name);
  if (exists(direct)) return direct;
  return "/dev/tty" + std::string(name);
}

std::string ResolvePortPath(std::string_view name) {
  return ResolvePortPath(name, [](const std::string& p) {
    std::error_code ec;
    return fs::exists(p, ec);
  });
}

bool IsPortDevice(std::string_view name) {
  if (name.empty()) return false;
  const std::string path = ResolvePortPath(name);
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

std::optional<std::string> ShortPortName(std::string_view ttyName) {
  std::string name;
  if (const auto n = ttyName.starts_with("ttyS") ? WholeNumber<unsigned>(ttyName.substr(4)) : std::nullopt) {
    name = "COM" + std::to_string(std::uint64_t{*n} + 1);
  } else if (ttyName.starts_with("tty") && ttyName.size() > 3) {
    name = ttyName.substr(3);
  } else {
    name = ttyName;
  }
  if (name.empty() || name.size() > PORT_NAME_MAX) return std::nullopt;
  return name;
}

std::vector<TSerialPortEntry> ListSerialPorts() { return ListSerialPortsIn("/sys/class/tty", "/dev/serial/by-id"); }

std::vector<TSerialPortEntry> ListSerialPortsIn(const fs::path& sysClassTty, const fs::path& byIdDir) {
  const auto byId = ByIdNames(byIdDir);
  std::vector<TSerialPortEntry> ports;
  std::error_code ec;
  for (fs::directory_iterator it(sysClassTty, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string tty = it->path().filename().string();
    std::error_code dev;
    if (!fs::exists(it->path() / "device", dev)) continue;  // virtual consoles, pseudo-terminals
    const auto name = ShortPortName(tty);
    if (!name) continue;
    const auto id = byId.find(tty);
    ports.push_back({*name, "/dev/" + tty, id != byId.end() ? id->second : std::string()});
  }
  std::sort(ports.begin(), ports.end(),
            [](const TSerialPortEntry& a, const TSerialPortEntry& b) { return PortNameLess(a.Name, b.Name); });
  return ports;
}

}  // namespace kassiro::platform
