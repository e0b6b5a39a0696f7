#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "core/SelfMsgs.h"

namespace kassiro {
namespace {

struct Received {
  std::int32_t id;
  std::string text;
  bool loopBack;
};

// Waits until the messenger's socket is readable, then collects what it raises.
std::vector<Received> ReceiveWithin(TSelfMessenger& m, int timeoutMs) {
  std::vector<Received> got;
  m.OnSelfEvent = [&](TSelfMessenger&, std::int32_t id, const ShortStr& txt, bool loop) {
    got.push_back({id, txt.str(), loop});
  };
  pollfd p{m.Handle(), POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) == 1) m.HandleIncoming();
  return got;
}

// A path unique to this test run, so parallel runs don't share a channel.
std::filesystem::path UniqueExe(const std::string& tag) {
  return std::filesystem::path("/tmp/kassiro-selfmsg-test") /
         (tag + "-" + std::to_string(::getpid())) / "kassirod";
}

TEST(SelfMessenger, ChannelNameIsThePathWithSlashesReplaced) {
  EXPECT_EQ(SelfChannelName("/opt/kassiro/bin/kassirod"), "_opt_kassiro_bin_kassirod");
  const std::string longPath = "/" + std::string(200, 'x') + "/kassirod";
  const std::string name = SelfChannelName(longPath);
  EXPECT_LE(name.size(), 107u);
  EXPECT_NE(name, SelfChannelName("/" + std::string(200, 'x') + "/other"));
}

TEST(SelfMessenger, TheFirstCopyReceivesAndASecondCopySends) {
  const auto exe = UniqueExe("first");
  TSelfMessenger running(exe);
  TSelfMessenger second(exe);
  ASSERT_TRUE(running.Receiving());
  EXPECT_FALSE(second.Receiving());

  ASSERT_TRUE(second.SendMessage(SM_QUIT, "secret"));
  const auto got = ReceiveWithin(running, 5000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, SM_QUIT);
  EXPECT_EQ(got[0].text, "secret");
  // Same process here, so the kernel reports our own pid: a copy talking to itself.
  EXPECT_TRUE(got[0].loopBack);
}

TEST(SelfMessenger, AMessageFromAnotherProcessIsNotLoopBackAndTextsArriveWhole) {
  const auto exe = UniqueExe("other");
  TSelfMessenger running(exe);
  ASSERT_TRUE(running.Receiving());
  const std::string text(255, 'p');
  const pid_t child = ::fork();
  if (child == 0) {
    TSelfMessenger sender(exe);
    ::_exit(sender.SendMessage(SM_QUIT, text) ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  const auto got = ReceiveWithin(running, 5000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_FALSE(got[0].loopBack);
  EXPECT_EQ(got[0].text, text);
}

TEST(SelfMessenger, CopiesOfAnotherExecutablePathDontTalk) {
  TSelfMessenger a(UniqueExe("a"));
  TSelfMessenger b(UniqueExe("b"));
  EXPECT_TRUE(a.Receiving());
  EXPECT_TRUE(b.Receiving());
  TSelfMessenger sender(UniqueExe("c"));  // nobody else holds "c": it receives itself
  EXPECT_TRUE(sender.SendMessage(SM_QUIT, "x"));
  EXPECT_TRUE(ReceiveWithin(a, 50).empty());
  EXPECT_TRUE(ReceiveWithin(b, 50).empty());
}

}  // namespace
}  // namespace kassiro
