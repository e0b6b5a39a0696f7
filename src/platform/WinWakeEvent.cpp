#include "platform/WinWakeEvent.h"

#include <system_error>

#include "platform/WinText.h"

namespace kassiro::platform {

namespace {

DWORD Milliseconds(std::chrono::milliseconds timeout) {
  if (timeout.count() < 0) return INFINITE;
  return static_cast<DWORD>(std::min<std::chrono::milliseconds::rep>(timeout.count(), INFINITE - 1));
}

}  // namespace

std::error_code StartSockets() {
  // Never cleaned up: the sockets serve until the process ends.
  static const int started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return started == 0 ? std::error_code() : WindowsError(static_cast<unsigned long>(started));
}

TWakeEvent::TWakeEvent() : FNative(std::make_unique<TNative>()) {
  FNative->Event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (FNative->Event == nullptr) throw std::system_error(LastWindowsError(), "CreateEvent failed");
}

TWakeEvent::~TWakeEvent() { ::CloseHandle(FNative->Event); }

void TWakeEvent::Set() { ::SetEvent(FNative->Event); }

void TWakeEvent::Clear() { ::ResetEvent(FNative->Event); }

bool TWakeEvent::Wait(std::chrono::milliseconds timeout) {
  return ::WaitForSingleObject(FNative->Event, Milliseconds(timeout)) == WAIT_OBJECT_0;
}

TSocketReady TWakeEvent::WaitBeside(TNativeSocket socket, bool wantWrite, std::chrono::milliseconds timeout) {
  return WaitWithEvent(static_cast<SOCKET>(socket), wantWrite, FNative->Event, timeout);
}

TSocketReady WaitWithEvent(SOCKET socket, bool wantWrite, HANDLE event, std::chrono::milliseconds timeout) {
  TSocketReady ready;
  // select() tells the present state at once; WSAEventSelect records only what happens
  // from its call on, so it serves the wait that follows.
  const auto poll = [&](long wait) {
    fd_set reads, writes, errors;
    FD_ZERO(&reads);
    FD_ZERO(&writes);
    FD_ZERO(&errors);
    FD_SET(socket, &reads);
    FD_SET(socket, &errors);
    if (wantWrite) FD_SET(socket, &writes);
    timeval tv{0, wait};
    const int n = ::select(0, &reads, wantWrite ? &writes : nullptr, &errors, &tv);
    if (n == SOCKET_ERROR) {
      ready.Error = WindowsError(static_cast<unsigned long>(::WSAGetLastError()));
      return true;
    }
    ready.Readable = FD_ISSET(socket, &reads) || FD_ISSET(socket, &errors);
    ready.Writable = wantWrite && (FD_ISSET(socket, &writes) || FD_ISSET(socket, &errors));
    return n > 0;
  };
  ready.Woken = ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
  if (poll(0) || ready.Woken) return ready;

  HANDLE socketEvent = ::WSACreateEvent();
  if (socketEvent == WSA_INVALID_EVENT) {
    ready.Error = WindowsError(static_cast<unsigned long>(::WSAGetLastError()));
    return ready;
  }
  const long events = FD_READ | FD_ACCEPT | FD_CLOSE | FD_OOB | (wantWrite ? FD_WRITE | FD_CONNECT : 0);
  if (::WSAEventSelect(socket, socketEvent, events) != 0) {
    ready.Error = WindowsError(static_cast<unsigned long>(::WSAGetLastError()));
    ::WSACloseEvent(socketEvent);
    return ready;
  }
  // Once more: what came between the first look and the selection is seen now.
  if (!poll(0)) {
    const HANDLE both[2] = {socketEvent, event};
    const DWORD got = ::WaitForMultipleObjects(2, both, FALSE, Milliseconds(timeout));
    if (got == WAIT_FAILED) ready.Error = LastWindowsError();
    else if (got == WAIT_OBJECT_0) (void)poll(0);
  }
  ready.Woken = ::WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
  ::WSAEventSelect(socket, nullptr, 0);
  ::WSACloseEvent(socketEvent);
  return ready;
}

}  // namespace kassiro::platform
