// The frame receiver of the serial protocol, fed through the in-memory byte port:
// bytes arrive with any timing while the protocol takes an ECR, waits for a block or
// sends one. A block reported as received must be a whole, intact frame of the line.
#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "FuzzInput.h"
#include "MemoryPort.h"
#include "ecrlink/FrameCodec.h"
#include "ecrlink/ProtConst.h"
#include "ecrlink/SimpleComObject.h"

namespace {

using namespace kassiro;

using fuzz::Broken;

void CheckResult(std::int32_t res) {
  if (res != RES_OK && res != RES_NAK && res != RES_TIMEOUT) Broken("unexpected result code");
}

// A good block of at most 254 bytes is an exact frame payload: 0A payload 0D CRC.
void CheckBlock(std::int32_t res, const ShortStr& blk, const std::string& line) {
  CheckResult(res);
  if (res != RES_OK) {
    if (!blk.empty()) Broken("a failed receive returned a block");
    return;
  }
  if (blk.size() > MAX_PAYLOAD) return;
  const TFrameBuffer frame = BuildFrame(blk, 0);
  const std::string_view wanted(reinterpret_cast<const char*>(frame.bytes.data()), frame.size);
  if (line.find(wanted) == std::string::npos) Broken("a block that no frame on the line carried");
}

// One open line per speed for the whole run: opening one starts its filler thread,
// which costs more than an input.
struct TLine {
  FakeClock clock;
  MemoryPort port{clock};
  TSimpleComObject com{port.Factory(), clock};

  explicit TLine(std::int32_t speed) {
    com.SetLogSink([](std::string_view) {});
    com.SetCommPortName("fuzz");
    com.SetSpeed(speed);
    com.OpenEcrPort();
  }
  // Leaves nothing of the input before: its bytes are gone, its last write long ago.
  void Reset() {
    clock.Advance(1'000'000);
    port.PurgeInput();
    com.FreeEcr();
    port.ClearWrites();
  }
};

TLine& LineAt(std::size_t speedIndex) {
  static std::array<std::unique_ptr<TLine>, SpCount> lines;
  auto& line = lines[speedIndex];
  if (!line) line = std::make_unique<TLine>(static_cast<std::int32_t>(SendWaitConsts[speedIndex].Speed));
  return *line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  TLine& l = LineAt(fuzz::Choose(in, SpCount - 1));
  l.Reset();
  FakeClock& clock = l.clock;
  MemoryPort& port = l.port;
  TSimpleComObject& com = l.com;

  std::string line;  // every byte queued for the protocol, in arrival order
  Millis lastArrival = clock.Now();
  ShortStr blk;
  while (in.remaining_bytes() > 0) {
    switch (fuzz::Choose(in, 4)) {
      case 0: {  // bytes arrive after a pause, spaced by a gap
        const Millis pause = fuzz::Choose(in, 255);
        const Millis gap = fuzz::Choose(in, 127);
        const std::string bytes = fuzz::Bytes(in);
        const Millis at = std::max(lastArrival, clock.Now()) + pause;
        port.QueueIncoming(at, bytes, gap);
        if (!bytes.empty()) lastArrival = at + gap * static_cast<Millis>(bytes.size() - 1);
        line += bytes;
        break;
      }
      case 1: CheckBlock(com.TakeEcr(fuzz::Choose(in, 100), blk), blk, line); break;
      case 2: CheckBlock(com.GetBlock(blk, 10u * fuzz::Choose(in, 255)), blk, line); break;
      case 3: CheckResult(com.SendBlock(ShortStr(fuzz::Bytes(in)))); break;
      case 4: com.FreeEcr(); break;
    }
  }
  return 0;
}
