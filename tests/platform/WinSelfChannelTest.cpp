// The single-instance channel as a named pipe. Under Wine every process runs as one
// user, so the refusal of another user's process is not shown here: both ends check
// the other's token, as the code says; the POSIX tests show the same rule with a
// second user.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/SelfChannel.h"

namespace kassiro::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::int32_t SM_QUIT = 2;
constexpr std::int32_t SM_STATUS = 3;

// A folder of its own per test: the pipe is named after it, no file is made.
fs::path Base(const std::string& test) {
  return fs::temp_directory_path() / ("kassiro-" + std::to_string(::GetCurrentProcessId()) + "-" + test) /
         "kassirod";
}

struct Received {
  std::int32_t id;
  std::string text;
  bool loopBack;
};

std::vector<Received> ReceiveWithin(TSelfMessenger& m, int timeoutMs) {
  std::vector<Received> got;
  m.OnSelfEvent = [&](TSelfMessenger&, std::int32_t id, const ShortStr& txt, bool loop) {
    got.push_back({id, txt.str(), loop});
  };
  if (m.WaitPending(std::chrono::milliseconds(timeoutMs))) m.HandleIncoming();
  return got;
}

TEST(SelfMessenger, ThePipeIsNamedAfterTheFolderInAnyCase) {
  const fs::path base = Base("names");
  TSelfMessenger a(base, false);
  EXPECT_EQ(a.ChannelName().rfind(R"(\\.\pipe\kassiro)", 0), 0u) << a.ChannelName();
  EXPECT_EQ(a.ChannelName().find('\\', 9), std::string::npos) << "a pipe's name holds no backslash";
  EXPECT_EQ(TSelfMessenger(base.parent_path() / "KASSIROD", false).ChannelName(), a.ChannelName());
  EXPECT_NE(TSelfMessenger(base.parent_path() / "a_b" / "kassirod", false).ChannelName(),
            TSelfMessenger(base.parent_path() / "a" / "b" / "kassirod", false).ChannelName());
  const fs::path deep = base.parent_path() / std::string(300, 'd') / "kassirod";
  const std::string longName = TSelfMessenger(deep, false).ChannelName();
  EXPECT_LE(longName.size(), 256u);
  EXPECT_NE(longName, TSelfMessenger(base.parent_path() / std::string(300, 'e') / "kassirod", false).ChannelName());
}

TEST(SelfMessenger, TheFirstCopyReceivesAndASecondCopySends) {
  const fs::path base = Base("first");
  TSelfMessenger running(base);
  ASSERT_TRUE(running.Receiving()) << running.ListenError();
  {
    TSelfMessenger second(base);
    EXPECT_FALSE(second.Receiving()) << "a second listener never takes a channel a copy serves";
    EXPECT_FALSE(second.ListenError().empty());
  }
  const std::string text(300, 'p');
  ASSERT_EQ(TSelfMessenger(base, false).Send(SM_QUIT, text), TSendResult::Sent);
  const auto got = ReceiveWithin(running, 5000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, SM_QUIT);
  EXPECT_EQ(got[0].text, text.substr(0, 255));
  EXPECT_TRUE(got[0].loopBack);  // the same process
}

TEST(SelfMessenger, NobodyListensOnceTheRunningCopyIsGone) {
  const fs::path base = Base("gone");
  EXPECT_EQ(TSelfMessenger(base, false).Send(SM_QUIT, "x"), TSendResult::NoListener);
  { TSelfMessenger running(base); }
  EXPECT_EQ(TSelfMessenger(base, false).Send(SM_QUIT, "x"), TSendResult::NoListener);
  TSelfMessenger again(base);
  EXPECT_TRUE(again.Receiving()) << again.ListenError();
}

TEST(SelfMessenger, ARequestGetsTheRunningCopysAnswerAfterItHungUp) {
  const fs::path base = Base("request");
  TSelfMessenger running(base);
  ASSERT_TRUE(running.Receiving());
  const std::string big(100000, 's');  // the status of many ECRs
  running.OnSelfEvent = [&](TSelfMessenger& m, std::int32_t id, const ShortStr& txt, bool) {
    m.Reply(id == SM_STATUS && txt.view() == "json" ? big : "?");
  };
  auto asked = std::async(std::launch::async, [&] {
    std::string answer;
    const auto r = TSelfMessenger(base, false).Request(SM_STATUS, "json", answer, 20000);
    return r == TSendResult::Sent ? answer : std::string("failed");
  });
  ASSERT_TRUE(running.WaitPending(20s));
  running.HandleIncoming();  // closes its end before the asker reads
  EXPECT_TRUE(asked.get() == big);
  std::string empty = "x";
  auto asked2 = std::async(std::launch::async, [&] { return TSelfMessenger(base, false).Request(SM_QUIT, "", empty, 20000); });
  running.OnSelfEvent = [](TSelfMessenger& m, std::int32_t, const ShortStr&, bool) { m.Reply(""); };
  ASSERT_TRUE(running.WaitPending(20s));
  running.HandleIncoming();
  EXPECT_EQ(asked2.get(), TSendResult::Sent);
  EXPECT_EQ(empty, "");
}

// A sender that connects and never writes holds the running copy only a bounded time.
TEST(SelfMessenger, ASilentSenderIsGivenUp) {
  const fs::path base = Base("silent");
  TSelfMessenger running(base);
  ASSERT_TRUE(running.Receiving());
  const std::wstring pipe = fs::path(running.ChannelName()).wstring();
  const HANDLE silent = ::CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(silent, INVALID_HANDLE_VALUE);
  std::vector<Received> got;
  running.OnSelfEvent = [&](TSelfMessenger&, std::int32_t id, const ShortStr& txt, bool loop) {
    got.push_back({id, txt.str(), loop});
  };
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(running.WaitPending(5s));
  running.HandleIncoming();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_TRUE(got.empty());
  ::CloseHandle(silent);
  ASSERT_EQ(TSelfMessenger(base, false).Send(SM_QUIT, "after"), TSendResult::Sent);
  const auto after = ReceiveWithin(running, 5000);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].text, "after");
}

TEST(SelfMessenger, WhenPendingCallsOnceAndCanBeTakenBack) {
  const fs::path base = Base("pending");
  TSelfMessenger running(base);
  ASSERT_TRUE(running.Receiving());
  std::atomic<int> calls = 0;
  std::promise<std::thread::id> called;
  running.WhenPending([&] {
    if (++calls == 1) called.set_value(std::this_thread::get_id());
  });
  ASSERT_EQ(TSelfMessenger(base, false).Send(SM_QUIT, "one"), TSendResult::Sent);
  auto from = called.get_future();
  ASSERT_EQ(from.wait_for(10s), std::future_status::ready);
  EXPECT_NE(from.get(), std::this_thread::get_id());
  auto got = ReceiveWithin(running, 5000);
  ASSERT_EQ(got.size(), 1u);

  running.WhenPending([&] { ++calls; });
  running.WhenPending(nullptr);
  ASSERT_EQ(TSelfMessenger(base, false).Send(SM_QUIT, "two"), TSendResult::Sent);
  got = ReceiveWithin(running, 5000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "two");
  EXPECT_EQ(calls, 1) << "called again without being asked, or after being taken back";
}

// More senders at once than the pipe holds instances wait their turn; none is lost, and
// they are taken within the budget.
TEST(SelfMessenger, AFloodIsTakenWithinTheBudget) {
  const fs::path base = Base("flood");
  TSelfMessenger running(base);
  ASSERT_TRUE(running.Receiving());
  constexpr int Senders = 4, Each = 10;
  std::atomic<int> failed = 0;
  std::vector<std::thread> senders;
  for (int s = 0; s < Senders; ++s) {
    senders.emplace_back([&, s] {
      TSelfMessenger sender(base, false);
      for (int i = 0; i < Each; ++i) {
        if (sender.Send(SM_STATUS, std::to_string(s * Each + i)) != TSendResult::Sent) ++failed;
      }
    });
  }
  using TClock = TAcceptBudget::TClock;
  std::vector<TClock::duration> at;
  const auto start = TClock::now();
  running.OnSelfEvent = [&](TSelfMessenger&, std::int32_t, const ShortStr&, bool) { at.push_back(TClock::now() - start); };
  bool paused = false;
  while (at.size() < Senders * Each && TClock::now() - start < 60s) {
    if (!running.WaitPending(100ms)) continue;
    if (const auto pause = running.HandleIncoming(); pause.count() > 0) {
      paused = true;
      std::this_thread::sleep_for(pause);
    }
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(failed, 0);
  ASSERT_EQ(at.size(), static_cast<std::size_t>(Senders * Each)) << "every message arrives, later";
  EXPECT_TRUE(paused);
  for (std::size_t i = 0; i < at.size(); ++i) {
    const double allowed = ACCEPT_BURST + ACCEPT_PER_SECOND * std::chrono::duration<double>(at[i]).count();
    EXPECT_LE(static_cast<double>(i + 1), allowed + 1e-9) << "message " << i;
  }
}

}  // namespace
}  // namespace kassiro::platform
