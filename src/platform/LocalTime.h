#pragma once
// The calendar time of a moment, in the machine's time zone or in UTC. The C library's
// localtime is not thread-safe, and each platform names its safe variant differently.

#include <ctime>

namespace kassiro::platform {

// The broken-down local time of t; all fields zero-based as in std::tm. A moment the
// system cannot convert yields the epoch's fields rather than garbage.
std::tm LocalTm(std::time_t t);

// The same in UTC.
std::tm UtcTm(std::time_t t);

}  // namespace kassiro::platform
