// A fresh directory under the system's temporary directory, removed with everything
// in it when the test ends.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace kassiro::testing {

class TempDir {
 public:
  // As mkdtemp makes it: a new name, made by this call, for its user alone.
  TempDir() {
    static constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof LETTERS - 2);
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      std::string name = "kassiro-";
      for (int i = 0; i < 6; ++i) name += LETTERS[pick(random)];
      std::error_code ec;
      if (std::filesystem::create_directory(base / name, ec)) path_ = base / name;
    }
    if (path_.empty()) throw std::runtime_error("no temporary directory could be made");
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::filesystem::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary) << content;
}

}  // namespace kassiro::testing
