// The session logic driven the way the server drives it, without a network or a line:
// clients that connect, send and go, and a stand-in for the polling thread that hands
// the session each ECR event in the order the real thread raises them.
//
// It checks what must hold whatever the input: nothing is sent to a client that is
// not connected, nothing is polled outside 1..99, and once every client has gone no
// set is held, no ECR is polled and the polling is off.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "FuzzInput.h"
#include "core/SessionLinks.h"
#include "core/TheNewDefs.h"
#include "ecrlink/ProtConst.h"
#include "session/NewSrvProcs.h"
#include "session/AppCommands.h"
#include "session/InlineExchange.h"
#include "session/OnlineAnswers.h"
#include "session/OnlineHandling.h"
#include "util/BarDefs.h"

namespace kassiro::fuzz {

// Clients 1..MAX_CLIENT; few, so that they meet on the same sets.
inline constexpr std::uint16_t MAX_CLIENT = 6;

// KASSIRO_FUZZ_TRACE=1 prints what the clients are sent, to follow one input.
inline bool Tracing() {
  static const bool on = std::getenv("KASSIRO_FUZZ_TRACE") != nullptr;
  return on;
}

inline void Trace(const char* what, std::string_view bytes) {
  if (!Tracing()) return;
  std::fprintf(stderr, "%s", what);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F) std::fputc(b, stderr);
    else std::fprintf(stderr, "\\x%02X", b);
  }
  std::fputc('\n', stderr);
}

class TFuzzClients final : public TClientLink {
 public:
  void SendData(std::uint16_t ID, const ShortStr& Data) override {
    if (ID == 0 || ID > MAX_CLIENT || !connected[ID]) Broken("message to a client that is not connected");
    Trace(ID == 1 ? "to 1: " : ID == 2 ? "to 2: " : "to other: ", Data);
    ++sent;
  }
  std::bitset<MAX_CLIENT + 1> connected;
  std::uint64_t sent = 0;
};

// What the polling thread keeps between the session's calls.
class TFuzzPoll final : public TPollLink {
 public:
  void AddEcr(int Ecr) override {
    if (Ecr < 1 || Ecr > MAX_ECR_COUNT) throw std::invalid_argument("ECR number out of range");
    polled[static_cast<std::size_t>(Ecr)] = true;
  }
  void RemoveEcr(int Ecr) override {
    if (Ecr < 1 || Ecr > MAX_ECR_COUNT) throw std::invalid_argument("ECR number out of range");
    polled[static_cast<std::size_t>(Ecr)] = false;
  }
  void NoiseOn() override { noise = true; }
  void NoiseOff() override { noise = false; }
  void Next() override {
    Trace("next", {});
    next = signalled = true;
  }
  void SendInlBlock(const ShortStr& Blk) override {
    Trace("in-line block: ", Blk);
    inlBlk = Blk;
    inlSendReq = true;
  }
  void SendOnlBlock(const ShortStr& Blk) override {
    Trace("on-line block: ", Blk);
    onlBlk = Blk;
    signalled = true;
  }

  std::bitset<MAX_ECR_COUNT + 1> polled;
  bool noise = false;
  bool next = false;
  bool signalled = false;
  bool inlSendReq = false;
  ShortStr inlBlk;
  ShortStr onlBlk;
};

// Serial result codes as the line reports them.
inline constexpr std::array<std::uint8_t, 5> LINE_RESULTS = {RES_OK, RES_NAK, RES_DIFF,
                                                              RES_TIMEOUT, 0xFF};

class TSessionHarness {
 public:
  TSessionHarness() { Reset(); }

  // One harness serves every input of a run: the session's ECR records are cleared in
  // place, because allocating them afresh for each input costs more than the input.
  // Every set's password is "pw", as in the worked exchanges the seeds come from.
  void Reset() {
    for (TEcr& ecr : *S.Ecrs) ecr = TEcr{};
    S.ServerStatus = 0;
    S.InSeans = {};
    S.WaitRes = {};
    S.IniStru = {};
    S.FSelfClose = false;
    for (int st = 1; st <= SET_COUNT; ++st) S.IniStru.SetPW[st] = "pw";
    Clients.connected.reset();
    Poll.polled.reset();
    Poll.noise = Poll.next = Poll.signalled = Poll.inlSendReq = false;
    turn = TTurn::None;
    turnEcr = 0;
  }

  // One step chosen by the input. Returns false when the input is used up.
  bool Step(FuzzedDataProvider& in) {
    if (in.remaining_bytes() == 0) return false;
    switch (Choose(in, 5)) {
      case 0: Connect(Choose(in, MAX_CLIENT)); break;
      case 1: {
        const std::uint16_t id = Choose(in, MAX_CLIENT);
        DataIn(id, Bytes(in));
        break;
      }
      case 2: Disconnect(Choose(in, MAX_CLIENT)); break;
      case 3: {
        const std::uint8_t ecr = PolledEcr(Choose(in, 255));
        const std::string reply = Bytes(in);
        if (ecr != 0) Turn(ecr, reply);
        break;
      }
      case 4: Advance(in); break;
      case 5: {
        // A client takes a set on ECR 1..3 with the right password, a short cut for
        // the fuzzer to the states behind it.
        const std::uint16_t id = static_cast<std::uint16_t>(1 + Choose(in, MAX_CLIENT - 1));
        const auto st = static_cast<std::uint8_t>(1 + Choose(in, SET_COUNT - 1));
        const auto ecr = static_cast<std::uint8_t>(1 + Choose(in, 2));
        DataIn(id, Msg(st, COP_REQ, ecr, "pw;"));
        break;
      }
    }
    return true;
  }

  // The end of every input: the turn under way ends and every client goes.
  void Finish() {
    Settle();
    for (std::uint16_t id = 1; id <= MAX_CLIENT; ++id) Disconnect(id);
    for (int e = 1; e <= MAX_ECR_COUNT; ++e) {
      const TEcr& ecr = EcrOf(S, e);
      if (ecr.UserCount != 0) Broken("an ECR keeps users after every client went");
      for (int st = 1; st <= SET_COUNT; ++st) {
        if (ecr.Sets[static_cast<std::size_t>(st)].OwnerID != 0) Broken("a set stays held");
      }
    }
    if (Poll.polled.any()) Broken("an ECR stays polled after every client went");
    if (S.ServerStatus != 0 || Poll.noise) Broken("polling stays on after every client went");
  }

  static std::string Msg(std::uint8_t st, std::uint8_t cop, std::uint8_t ecr, std::string_view text) {
    return MakeString(st, cop, 0, ecr, 0, text).str();
  }

  void Connect(std::uint16_t id) {
    if (id == 0 || Clients.connected[id]) return;
    Clients.connected[id] = true;
    HandleOnConnect(Env, id);
  }
  void DataIn(std::uint16_t id, std::string_view bytes) {
    if (id == 0) return;
    Trace(id == 1 ? "from 1: " : id == 2 ? "from 2: " : "from other: ", bytes);
    Connect(id);
    HandleOnDataIn(Env, APP_COMM_ROUTINES, id, ShortStr(bytes));
  }
  void Disconnect(std::uint16_t id) {
    if (id == 0 || !Clients.connected[id]) return;
    HandleOnDisconnect(Env, id);
    Clients.connected[id] = false;
  }

  // One ECR's turn as the polling thread runs it. Each step of the turn that waits on
  // the line (sending the command, reading its reply, waiting for a client's answer to
  // an on-line message) ends only at the next Advance, so client messages and
  // disconnections come in between, as they do while the real thread waits without
  // the session lock.
  void Turn(std::uint8_t ecr, std::string_view reply) {
    Settle();
    turnEcr = ecr;
    Poll.inlSendReq = Poll.signalled = Poll.next = false;
    const ShortStr blk(reply);
    Trace("ECR: ", blk);
    if (blk.size() <= 7) {  // a short reply: the ECR is ready for a command
      HandleEcrInline(Env, ecr, 0, blk);
      if (!Poll.next && Poll.inlSendReq) turn = TTurn::InlineSend;
      return;
    }
    HandleOnlReceived(Env, ecr, 0, blk);
    if (!Poll.next) turn = TTurn::OnlineWait;
  }

  // The line step under way ends, with the outcome the input gives.
  void Advance(FuzzedDataProvider& in) { Advance(&in); }
  // The turn under way runs to its end, every line step going well (an awaited answer
  // that nobody gave still times out).
  void Settle() {
    while (turn != TTurn::None) Advance(nullptr);
  }

  void Advance(FuzzedDataProvider* in) {
    const std::uint8_t ecr = turnEcr;
    switch (std::exchange(turn, TTurn::None)) {
      case TTurn::None: return;
      case TTurn::InlineSend:
        Poll.inlSendReq = false;
        HandleInlSended(Env, ecr, LineResult(in));
        if (!Poll.next) turn = TTurn::InlineReceive;
        return;
      case TTurn::InlineReceive: {
        const std::uint8_t rcvErr = LineResult(in);
        const ShortStr answer(rcvErr == RES_OK && in ? Bytes(*in) : std::string());
        HandleInlReceived(Env, ecr, rcvErr, answer);
        return;
      }
      case TTurn::OnlineWait:
        if (!Poll.signalled) {
          HandleSendReqTimeOut(Env, ecr, 0);
          return;
        }
        Poll.signalled = false;
        if (!Poll.next) HandleOnlSended(Env, ecr, LineResult(in));
        return;
    }
  }

  // A line step's result: the input's choice, or RES_OK without input.
  static std::uint8_t LineResult(FuzzedDataProvider* in) {
    return in ? LINE_RESULTS[Choose(*in, LINE_RESULTS.size() - 1)] : RES_OK;
  }

  // The n-th polled ECR (cycling), 0 when none is polled.
  std::uint8_t PolledEcr(std::uint8_t n) const {
    const std::size_t count = Poll.polled.count();
    if (count == 0) return 0;
    std::size_t k = n % count;
    for (std::size_t e = 1; e <= MAX_ECR_COUNT; ++e) {
      if (Poll.polled[e] && k-- == 0) return static_cast<std::uint8_t>(e);
    }
    return 0;
  }

  Session S;
  TFuzzClients Clients;
  TFuzzPoll Poll;
  TUserLocale Locale;
  TSessionEnv Env{S, Clients, Poll, Locale};
  enum class TTurn : std::uint8_t { None, InlineSend, InlineReceive, OnlineWait };
  TTurn turn = TTurn::None;  // the line step under way
  std::uint8_t turnEcr = 0;  // whose turn it is
};

}  // namespace kassiro::fuzz
