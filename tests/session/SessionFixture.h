// The session routines driven without a network or a serial line: a fake TCP server
// that records what each client is sent, a fake polling thread that records every call,
// and helpers for wire bytes, the state of the shared records and the log.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "core/LogFile.h"
#include "core/SessionLinks.h"
#include "core/TheNewDefs.h"
#include "session/NewSrvProcs.h"
#include "session/AppCommands.h"
#include "util/BarDefs.h"

namespace kassiro::testing {

// One message as a client receives it: (connection, message bytes without length byte).
using Sent = std::pair<std::uint16_t, std::string>;

class FakeClients : public TClientLink {
 public:
  void SendData(std::uint16_t ID, const ShortStr& Data) override {
    sent.emplace_back(ID, Data.str());
  }
  // Each wrong password as (connection, messages sent before it was reported).
  void WrongPassword(std::uint16_t ID) override { wrong.emplace_back(ID, sent.size()); }
  std::vector<Sent> Take() { return std::exchange(sent, {}); }
  std::vector<std::pair<std::uint16_t, std::size_t>> wrong;

 private:
  std::vector<Sent> sent;
};

class FakePoll : public TPollLink {
 public:
  void AddEcr(int Ecr) override { calls.push_back("AddEcr " + std::to_string(Ecr)); }
  void RemoveEcr(int Ecr) override { calls.push_back("RemoveEcr " + std::to_string(Ecr)); }
  void NoiseOn() override { calls.emplace_back("NoiseOn"); }
  void NoiseOff() override { calls.emplace_back("NoiseOff"); }
  void Next() override { calls.emplace_back("Next"); }
  void SendInlBlock(const ShortStr& Blk) override { calls.push_back("SendInlBlock " + Blk.str()); }
  void SendOnlBlock(const ShortStr& Blk) override { calls.push_back("SendOnlBlock " + Blk.str()); }
  std::vector<std::string> Take() { return std::exchange(calls, {}); }

 private:
  std::vector<std::string> calls;
};

// Bytes of "05 10 01 02 05 13": a length byte and the message it frames; returns the
// message after checking the length byte.
inline std::string Wire(std::string_view hex) {
  std::istringstream in{std::string(hex)};
  std::string bytes;
  unsigned v = 0;
  while (in >> std::hex >> v) bytes.push_back(static_cast<char>(v));
  if (bytes.empty() || static_cast<unsigned char>(bytes[0]) != bytes.size() - 1) {
    throw std::invalid_argument("length byte does not match: " + std::string(hex));
  }
  return bytes.substr(1);
}

// A message as the server builds it (port byte 0 unless given).
inline std::string Msg(std::uint8_t st, std::uint8_t cop, std::uint8_t ecr, std::uint8_t err,
                       std::string_view text = {}, std::uint8_t port = 0) {
  return MakeString(st, cop, port, ecr, err, text).str();
}

// Everything in the shared records that differs from a fresh start, one line each,
// so that "changes nothing" is one comparison.
inline std::string Dump(const Session& s) {
  std::ostringstream out;
  for (int e = 1; e <= MAX_ECR_COUNT; ++e) {
    const TEcr& ecr = (*s.Ecrs)[static_cast<std::size_t>(e)];
    for (int st = 1; st <= SET_COUNT; ++st) {
      const TSetDescr& d = ecr.Sets[static_cast<std::size_t>(st)];
      if (d.OwnerID || d.Cop || d.Phase || !d.FmAppBuff.empty() || d.WaitBlk2 ||
          !d.WaitBlkBuff.empty() || d.WaitCOP) {
        out << "ecr " << e << " set " << st << ": owner " << d.OwnerID << " cop " << +d.Cop
            << " phase " << +d.Phase << " fm '" << d.FmAppBuff << "' wb2 " << d.WaitBlk2 << " wbb '"
            << d.WaitBlkBuff << "' wcop " << +d.WaitCOP << "\n";
      }
    }
    if (ecr.BlockNo || ecr.UserCount || !ecr.LastBlockIn.empty()) {
      out << "ecr " << e << ": block " << +ecr.BlockNo << " users " << +ecr.UserCount << " last '"
          << ecr.LastBlockIn << "'\n";
    }
    const TERData& d = s.IniStru.ERData[static_cast<std::size_t>(e)];
    if (d.Bon || d.Line != 1 || d.SerNum || d.CurrMode || d.CurrTO) {
      out << "ecr " << e << ": bon " << d.Bon << " line " << d.Line << " sernum " << d.SerNum
          << " mode " << +d.CurrMode << " to " << +d.CurrTO << "\n";
    }
  }
  out << "status " << s.ServerStatus << " inseans " << +s.InSeans.Ecr << "/" << +s.InSeans.St
      << " waitres " << +s.WaitRes.St << "/" << +s.WaitRes.Cop << "/" << +s.WaitRes.Ecr << " '"
      << s.WaitRes.Buff << "' " << s.WaitRes.WaitBlk << " globalbon " << s.IniStru.GlobalBon
      << "\n";
  return out.str();
}

// The program's log bound to a fresh temporary directory for one test.
class LogCapture {
 public:
  LogCapture() { BindProgramLog(dir_ / "session-test"); }

  std::string Contents() const {
    return testing::ReadFile(dir_ / "session-test.log");
  }
  // True when the log holds the line with exactly this text.
  bool HasLine(std::string_view text) const {
    return Contents().find("session-test: " + std::string(text) + "\r\n") != std::string::npos;
  }
  int LineCount() const {
    const std::string c = Contents();
    int n = 0;
    for (std::size_t p = c.find("\r\n"); p != std::string::npos; p = c.find("\r\n", p + 2)) ++n;
    return n;
  }

 private:
  testing::TempDir dir_;
};

class SessionTest : public ::testing::Test {
 protected:
  Session S;
  FakeClients Clients;
  FakePoll Poll;
  TUserLocale Locale;  // '.' separators unless a test changes them
  TSessionEnv Env{S, Clients, Poll, Locale};

  // A client message through the intake.
  void Send(std::uint16_t id, std::string_view message) {
    HandleOnDataIn(Env, APP_COMM_ROUTINES, id, ShortStr(message));
  }
  void Request(std::uint16_t id, std::uint8_t st, std::uint8_t cop, std::uint8_t ecr,
               std::string_view text = {}) {
    Send(id, Msg(st, cop, ecr, 0, text));
  }
  // Takes a set through the intake and forgets the answers and polling calls.
  void Take(std::uint16_t id, std::uint8_t ecr, std::uint8_t st, std::string_view pw = {}) {
    Request(id, st, COP_REQ, ecr, pw);
    ASSERT_EQ(S.Ecrs->operator[](ecr).Sets[st].OwnerID, id) << "set " << +st << " not taken";
    Clients.Take();
    Poll.Take();
  }
  // The first message sent since the last look (empty, and a failure, if none).
  Sent FirstSent() {
    const std::vector<Sent> sent = Clients.Take();
    if (sent.empty()) {
      ADD_FAILURE() << "nothing was sent";
      return {};
    }
    return sent.front();
  }
  TSetDescr& Set(std::uint8_t ecr, std::uint8_t st) { return SetOf(S, ecr, st); }
  TEcr& Ecr(std::uint8_t ecr) { return EcrOf(S, ecr); }
  TERData& Data(std::uint8_t ecr) { return S.IniStru.ERData[ecr]; }
};

}  // namespace kassiro::testing
