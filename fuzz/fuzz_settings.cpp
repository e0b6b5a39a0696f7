// The settings record: the decode of any stored image, and the settings file's load of
// any file content, damaged or whole.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "FuzzInput.h"
#include "core/SettingsFile.h"
#include "core/TheNewDefs.h"

namespace {

using namespace kassiro;

using fuzz::Check;

// Memory-backed when the machine has it: the file is written for nearly every input.
std::filesystem::path ScratchRoot() {
  std::error_code ec;
  if (std::filesystem::is_directory("/dev/shm", ec)) return "/dev/shm";
  return std::filesystem::temp_directory_path();
}

// The settings file of this process, in a folder of its own that goes at exit.
struct TScratch {
  std::filesystem::path dir = ScratchRoot() / ("kassiro-fuzz-settings-" + std::to_string(::getpid()));
  std::filesystem::path file = (std::filesystem::create_directories(dir), dir / "kassiro.STG");
  TSettingsFile settings{file};
  ~TScratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
};

TScratch& Scratch() {
  static TScratch scratch;
  return scratch;
}

// Replaces the file's content (the settings file keeps its own descriptor and lock).
void WriteFile(const std::filesystem::path& file, const std::string& bytes) {
  const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  Check(fd >= 0, "cannot open the scratch file");
  const ssize_t n = ::write(fd, bytes.data(), bytes.size());
  ::close(fd);
  Check(n == static_cast<ssize_t>(bytes.size()), "cannot write the scratch file");
}

TIniStruImage ImageOf(const std::string& bytes) {
  TIniStruImage image{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), image.size()), image.begin());
  return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  TScratch& scratch = Scratch();
  const bool asFile = in.ConsumeBool();
  const std::string bytes = in.ConsumeRemainingBytesAsString();

  // Whatever a record holds, decoding its encoding gives the same record.
  const TIniStru decoded = DecodeIniStru(ImageOf(bytes));
  const TIniStruImage encoded = EncodeIniStru(decoded);
  Check(EncodeIniStru(DecodeIniStru(encoded)) == encoded, "a decoded record does not survive encoding");

  TIniStru loaded;
  if (asFile) {
    // Any file content: taken only when whole and its checksum holds.
    WriteFile(scratch.file, bytes);
    (void)scratch.settings.Load(loaded);
  } else {
    // A record saved is loaded back unchanged.
    scratch.settings.Save(decoded);
    Check(scratch.settings.Load(loaded), "a saved record does not load");
    Check(EncodeIniStru(loaded) == encoded, "a saved record loads changed");
  }
  return 0;
}
