// Windows test programs write their output as Linux ones do, with "\n" alone: ctest and
// gtest_discover_tests read it on Linux, and a "\r" would end up in every suite's name.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace {

const bool BINARY_STDOUT = [] {
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
  return true;
}();

}  // namespace
