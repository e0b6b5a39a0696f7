// Sets, or with nullptr removes, an environment variable for the life of the object
// and restores the old state afterwards.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace kassiro::test {

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Put(value);
  }
  ~ScopedEnv() { Put(old_ ? old_->c_str() : nullptr); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Put(const char* value) const {
#ifdef _WIN32
    ::_putenv_s(name_.c_str(), value != nullptr ? value : "");  // "" removes it there
#else
    if (value != nullptr) {
      ::setenv(name_.c_str(), value, 1);
    } else {
      ::unsetenv(name_.c_str());
    }
#endif
  }

  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace kassiro::test
