#pragma once
// Inside the platform library only: how an implementation file makes a TFile from the
// system's handle and reaches the handle of one. Nothing above the platform includes it.

#include <cstdint>
#include <utility>

#include "platform/File.h"

namespace kassiro::platform {

struct TFileAccess {
  static TFile Adopt(std::intptr_t native) { return TFile(native); }
  static std::intptr_t Native(const TFile& f) { return f.FNative; }
  static std::intptr_t Release(TFile& f) { return std::exchange(f.FNative, TFile::INVALID); }
};

}  // namespace kassiro::platform
