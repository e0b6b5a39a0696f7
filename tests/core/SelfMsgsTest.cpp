#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
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
  EXPECT_EQ(second.ListenError(), std::errc::address_in_use);

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
  TSelfMessenger sender(UniqueExe("c"), false);  // nobody holds "c"
  EXPECT_EQ(sender.Send(SM_QUIT, "x"), TSendResult::NoListener);
  EXPECT_TRUE(ReceiveWithin(a, 50).empty());
  EXPECT_TRUE(ReceiveWithin(b, 50).empty());
}

// Another user's process on the channel: needs root to become somebody else.
class OtherUser : public ::testing::Test {
 protected:
  static constexpr uid_t Nobody = 65534;
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  }

  // A socket on the channel's abstract name, as another program would make it.
  static int ChannelSocket(const std::string& name, bool listen) {
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | (listen ? SOCK_NONBLOCK : 0), 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path + 1, name.data(), name.size());
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    const auto* sa = reinterpret_cast<const sockaddr*>(&a);
    if (listen ? (::bind(fd, sa, len) != 0 || ::listen(fd, 8) != 0) : ::connect(fd, sa, len) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
};

TEST_F(OtherUser, AChannelBoundByAnotherUserGetsNothingAndTheRunningCopyKnowsWhy) {
  const auto exe = UniqueExe("squat");
  const std::string name = SelfChannelName(exe);
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  const pid_t squatter = ::fork();
  if (squatter == 0) {
    // Binds the name first, then reports whether any connection brought a byte.
    if (::setresgid(Nobody, Nobody, Nobody) != 0 || ::setresuid(Nobody, Nobody, Nobody) != 0) ::_exit(3);
    const int fd = ChannelSocket(name, true);
    const char ok = fd >= 0 ? 'y' : 'n';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(3);
    char c;
    if (::read(done[0], &c, 1) != 1) ::_exit(3);
    for (;;) {
      const int conn = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK);
      if (conn < 0) ::_exit(0);
      char buf[300];
      if (::recv(conn, buf, sizeof buf, MSG_DONTWAIT) > 0) ::_exit(1);
    }
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');

  TSelfMessenger server(exe);
  EXPECT_FALSE(server.Receiving());
  EXPECT_EQ(server.ListenError(), std::errc::address_in_use);

  TSelfMessenger sender(exe, false);
  EXPECT_EQ(sender.Send(SM_QUIT, "secret"), TSendResult::OtherUser);
  EXPECT_EQ(sender.ListenerUid(), Nobody);
  std::string answer;
  EXPECT_EQ(sender.Request(SM_STATUS, "", answer, 1000), TSendResult::OtherUser);
  EXPECT_EQ(answer, "");

  ASSERT_EQ(::write(done[1], "x", 1), 1);
  int status = 0;
  ::waitpid(squatter, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the other user received a message";
  for (const int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);
}

TEST_F(OtherUser, MessagesFromAnotherUserAreNotTaken) {
  const auto exe = UniqueExe("foreign");
  TSelfMessenger running(exe);
  ASSERT_TRUE(running.Receiving());
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setresgid(Nobody, Nobody, Nobody) != 0 || ::setresuid(Nobody, Nobody, Nobody) != 0) ::_exit(3);
    const int fd = ChannelSocket(SelfChannelName(exe), false);
    const char msg[] = {2, 0, 0, 0, 'x'};
    ::_exit(fd >= 0 && ::send(fd, msg, sizeof msg, 0) == sizeof msg ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(ReceiveWithin(running, 200).empty());
}

TEST(SelfMessenger, ARequestGetsTheRunningCopysAnswer) {
  const auto exe = UniqueExe("request");
  TSelfMessenger running(exe);
  ASSERT_TRUE(running.Receiving());
  const std::string big(100000, 's');  // more than one default socket buffer
  running.OnSelfEvent = [&](TSelfMessenger& m, std::int32_t id, const ShortStr& txt, bool) {
    m.Reply(id == SM_STATUS && txt.view() == "json" ? big : "?");
  };
  const pid_t child = ::fork();
  if (child == 0) {
    TSelfMessenger asker(exe, false);
    std::string answer;
    const bool ok = asker.Request(SM_STATUS, "json", answer, 20000) == TSendResult::Sent;
    ::_exit(ok && answer == big ? 0 : 1);
  }
  pollfd p{running.Handle(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 20000), 1);
  running.HandleIncoming();
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace kassiro
