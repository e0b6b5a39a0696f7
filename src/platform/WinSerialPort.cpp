#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "platform/SerialPort.h"
#include "platform/WinSerialPorts.h"
#include "platform/WinText.h"

namespace kassiro::platform {

namespace {

constexpr DWORD QUEUE_BYTES = 4096;
constexpr DWORD NOT_SET = MAXDWORD;
constexpr DWORD FIRST_WRITE_LIMIT_MS = 1000;  // until the first write sets its own

std::error_code Errno(int e) { return {e, std::generic_category()}; }
std::error_code LastError(TSerialCall call) { return SerialError(::GetLastError(), call); }

DWORD Millis(std::chrono::milliseconds d) {
  return static_cast<DWORD>(std::clamp<std::chrono::milliseconds::rep>(d.count(), 0, MAXDWORD - 1));
}

// Raw 8N1 at speed, no flow control of either kind, no character replaced or dropped,
// DTR on and RTS off, as on every other platform.
bool Configure(HANDLE h, std::int32_t speed) {
  if (speed <= 0) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  // The driver may keep queues of its own size; only a refusal of the settings below fails.
  ::SetupComm(h, QUEUE_BYTES, QUEUE_BYTES);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(h, &dcb)) return false;
  dcb.BaudRate = static_cast<DWORD>(speed);
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  if (!::SetCommState(h, &dcb)) return false;
  // The modem lines once more by hand: some drivers take them only this way. A line
  // without them (Wine's pseudo-terminal answers ERROR_NOT_SUPPORTED) is no failure.
  for (const DWORD f : {DWORD{SETDTR}, DWORD{CLRRTS}}) {
    if (!::EscapeCommFunction(h, f) && ::GetLastError() != ERROR_NOT_SUPPORTED &&
        ::GetLastError() != ERROR_INVALID_PARAMETER) {
      return false;
    }
  }
  return true;
}

}  // namespace

struct TSerialLine::TNative {
  HANDLE Handle = INVALID_HANDLE_VALUE;
  // What the port's timeouts hold now: set again only when a call needs others.
  DWORD ReadWait = NOT_SET;
  DWORD WriteLimit = NOT_SET;

  void Reset() {
    if (Handle != INVALID_HANDLE_VALUE) ::CloseHandle(Handle);
    Handle = INVALID_HANDLE_VALUE;
    ReadWait = WriteLimit = NOT_SET;
  }
  ~TNative() { Reset(); }

  // A read returns at once with what is there, or waits up to readWait for the first
  // byte and returns with it (readWait 0: never waits); a write gives up after writeLimit.
  bool Timeouts(DWORD readWait, DWORD writeLimit) {
    if (readWait == ReadWait && writeLimit == WriteLimit) return true;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = readWait == 0 ? 0 : MAXDWORD;
    t.ReadTotalTimeoutConstant = readWait;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = std::max<DWORD>(writeLimit, 1);  // 0 would wait for ever
    if (!::SetCommTimeouts(Handle, &t)) {
      ReadWait = WriteLimit = NOT_SET;
      return false;
    }
    ReadWait = readWait;
    WriteLimit = writeLimit;
    return true;
  }

  // After a read that brought nothing: a pulled USB adapter may go on answering reads
  // with nothing, but its driver no longer answers for its state.
  bool StillThere() const {
    DWORD errors = 0;
    COMSTAT stat{};
    return ::ClearCommError(Handle, &errors, &stat) != 0;
  }
};

TSerialLine::TSerialLine() : FNative(std::make_unique<TNative>()) {}

TSerialLine::~TSerialLine() { Close(); }

bool TSerialLine::IsOpen() const { return FNative->Handle != INVALID_HANDLE_VALUE; }

std::optional<TSerialLine::TOpenFailure> TSerialLine::Open(std::string_view portName, std::int32_t speed) {
  Close();
  const auto fail = [this](TStep step, std::error_code error) {
    FNative->Reset();
    return TOpenFailure{step, error};
  };
  FPath = ResolvePortPath(portName);
  FIsPty = false;  // Windows has none; Wine's ports behind pseudo-terminals take a speed too
  // No sharing: the system refuses every other open of the port while this one holds it.
  const HANDLE h = ::CreateFileW(ToWide(FPath).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail(TStep::Open, LastError(TSerialCall::Open));
  FNative->Handle = h;
  if (::GetFileType(h) != FILE_TYPE_CHAR) return fail(TStep::Open, Errno(ENODEV));
  if (!Configure(h, speed) || !FNative->Timeouts(0, FIRST_WRITE_LIMIT_MS)) {
    return fail(TStep::Configure, LastError(TSerialCall::Open));
  }
  PurgeInput();  // nothing received before we took the line is ours
  return std::nullopt;
}

void TSerialLine::Close() { FNative->Reset(); }

TSerialRead TSerialLine::Read(std::span<std::uint8_t> into, std::chrono::milliseconds wait) {
  TNative& n = *FNative;
  if (n.Handle == INVALID_HANDLE_VALUE) return {0, Errno(EBADF)};
  // Never a wait of 0 here: that would return at once and make the caller's loop spin.
  if (!n.Timeouts(std::max<DWORD>(Millis(wait), 1), n.WriteLimit)) return {0, LastError(TSerialCall::Io)};
  DWORD got = 0;
  const DWORD size = static_cast<DWORD>(std::min<std::size_t>(into.size(), MAXDWORD));
  if (!::ReadFile(n.Handle, into.data(), size, &got, nullptr)) return {0, LastError(TSerialCall::Io)};
  if (got > 0) return {got, {}};
  if (!n.StillThere()) return {0, LastError(TSerialCall::Io)};
  return {};
}

std::size_t TSerialLine::ReadWaiting(std::span<std::uint8_t> into) {
  TNative& n = *FNative;
  if (n.Handle == INVALID_HANDLE_VALUE || into.empty() || !n.Timeouts(0, n.WriteLimit)) return 0;
  DWORD got = 0;
  const DWORD size = static_cast<DWORD>(std::min<std::size_t>(into.size(), MAXDWORD));
  return ::ReadFile(n.Handle, into.data(), size, &got, nullptr) ? got : 0;
}

// Returns only when every byte is on the line (FlushFileBuffers waits for the transmit
// queue to empty): the reply windows of the protocol count from the start of the write.
std::error_code TSerialLine::Write(std::span<const std::uint8_t> bytes, std::size_t& written,
                                   std::chrono::milliseconds limit) {
  written = 0;
  TNative& n = *FNative;
  if (n.Handle == INVALID_HANDLE_VALUE) return Errno(EBADF);
  if (!n.Timeouts(n.ReadWait == NOT_SET ? 0 : n.ReadWait, Millis(limit))) return LastError(TSerialCall::Io);
  while (written < bytes.size()) {
    DWORD put = 0;
    const DWORD size = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, MAXDWORD));
    if (!::WriteFile(n.Handle, bytes.data() + written, size, &put, nullptr)) return LastError(TSerialCall::Io);
    if (put == 0) return Errno(ETIMEDOUT);  // the device took nothing within the limit
    written += put;
  }
  if (!::FlushFileBuffers(n.Handle)) return LastError(TSerialCall::Io);
  return {};
}

void TSerialLine::PurgeInput() {
  if (FNative->Handle != INVALID_HANDLE_VALUE) ::PurgeComm(FNative->Handle, PURGE_RXCLEAR);
}

void TSerialLine::PurgeOutput() {
  if (FNative->Handle != INVALID_HANDLE_VALUE) ::PurgeComm(FNative->Handle, PURGE_TXCLEAR);
}

}  // namespace kassiro::platform
