#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "platform/SelfChannel.h"

namespace kassiro::platform {
namespace {

namespace fs = std::filesystem;
using kassiro::testing::TempDir;
using namespace std::chrono_literals;

// Two message codes; the channel carries any.
constexpr std::int32_t SM_QUIT = 2;
constexpr std::int32_t SM_STATUS = 3;

struct Received {
  std::int32_t id;
  std::string text;
  bool loopBack;
};

// Waits until a connection waits for the messenger, then collects what it raises.
std::vector<Received> ReceiveWithin(TSelfMessenger& m, int timeoutMs) {
  std::vector<Received> got;
  m.OnSelfEvent = [&](TSelfMessenger&, std::int32_t id, const ShortStr& txt, bool loop) {
    got.push_back({id, txt.str(), loop});
  };
  if (m.WaitPending(std::chrono::milliseconds(timeoutMs))) m.HandleIncoming();
  return got;
}

// Runs fn in a child process; its exit code (fn's result), or -1.
template <typename F>
int InChild(F fn) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(fn());
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A socket connected to path as another program would make it; -1 when refused.
int RawConnect(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST(SelfMessenger, TheChannelIsTheSocketBesideTheProgramsFiles) {
  EXPECT_EQ(SelfChannelPath("/srv/shop/kassirod"), "/srv/shop/kassirod.sock");
  EXPECT_EQ(SelfChannelPath("/opt/kassiro/bin/kassiro"), "/opt/kassiro/bin/kassiro.sock");
  // Folders whose names only differ in '/' against '_' are two channels.
  EXPECT_NE(SelfChannelPath("/srv/shop/a_b/kassirod"), SelfChannelPath("/srv/shop/a/b/kassirod"));
}

TEST(SelfMessenger, TheFirstCopyReceivesAndASecondCopySends) {
  TempDir dir;
  const auto base = dir / "kassirod";
  TSelfMessenger running(base);
  ASSERT_TRUE(running.Receiving()) << running.ListenError();
  EXPECT_EQ(running.ChannelName(), (dir / "kassirod.sock").string());
  struct stat st {};
  ASSERT_EQ(::lstat(running.ChannelName().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "only the own user may connect";

  {
    // A second listener never takes a channel that a copy still serves.
    TSelfMessenger second(base);
    EXPECT_FALSE(second.Receiving());
    EXPECT_EQ(second.ListenError(), std::strerror(EADDRINUSE));
  }
  TSelfMessenger sender(base, false);
  ASSERT_TRUE(sender.SendMessage(SM_QUIT, "secret"));
  auto got = ReceiveWithin(running, 5000);
  // The second listener's probe is an empty connection: dropped without an event.
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].id, SM_QUIT);
  EXPECT_EQ(got[0].text, "secret");
  // Same process here, so the kernel reports our own pid: a copy talking to itself.
  EXPECT_TRUE(got[0].loopBack);
}

TEST(SelfMessenger, AMessageFromAnotherProcessIsNotLoopBackAndTextsArriveWhole) {
  TempDir dir;
  TSelfMessenger running(dir / "kassirod");
  ASSERT_TRUE(running.Receiving());
  const std::string text(255, 'p');
  ASSERT_EQ(InChild([&] { return TSelfMessenger(dir / "kassirod", false).SendMessage(SM_QUIT, text) ? 0 : 1; }), 0);
  const auto got = ReceiveWithin(running, 5000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_FALSE(got[0].loopBack);
  EXPECT_EQ(got[0].text, text);
}

// Named after the path with '/' made '_', these two folders once shared one channel.
TEST(SelfMessenger, FoldersThatLookAlikeHaveChannelsOfTheirOwn) {
  TempDir dir;
  fs::create_directories(dir / "a" / "b");
  fs::create_directories(dir / "a_b");
  TSelfMessenger nested(dir.path() / "a" / "b" / "kassirod");
  TSelfMessenger flat(dir.path() / "a_b" / "kassirod");
  ASSERT_TRUE(nested.Receiving()) << nested.ListenError();
  ASSERT_TRUE(flat.Receiving()) << flat.ListenError();
  ASSERT_TRUE(TSelfMessenger(dir.path() / "a" / "b" / "kassirod", false).SendMessage(SM_QUIT, "to b"));
  const auto got = ReceiveWithin(nested, 5000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "to b");
  EXPECT_TRUE(ReceiveWithin(flat, 50).empty());

  TempDir empty;
  TSelfMessenger sender(empty / "kassirod", false);  // nobody runs there
  EXPECT_EQ(sender.Send(SM_QUIT, "x"), TSendResult::NoListener);
}

// A folder path longer than a socket address holds still has its channel.
TEST(SelfMessenger, AFolderWithALongPathHasAChannelToo) {
  TempDir dir;
  const fs::path deep = dir.path() / std::string(60, 'd') / std::string(60, 'e');
  fs::create_directories(deep);
  TSelfMessenger running(deep / "kassirod");
  ASSERT_TRUE(running.Receiving()) << running.ListenError();
  EXPECT_TRUE(fs::is_socket(deep / "kassirod.sock"));
  ASSERT_EQ(InChild([&] { return TSelfMessenger(deep / "kassirod", false).SendMessage(SM_STATUS, "long") ? 0 : 1; }), 0);
  const auto got = ReceiveWithin(running, 5000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "long");
}

// What a killed copy leaves is cleared by the next; what is no socket is left alone; a
// copy removes its socket when it goes, but not one a later copy made.
TEST(SelfMessenger, TheSocketFileFollowsTheCopyThatServesIt) {
  TempDir dir;
  const auto base = dir / "kassirod";
  const std::string path = SelfChannelPath(base).string();
  {
    // A socket bound and never closed properly: nobody listens on the file any more.
    ASSERT_EQ(InChild([&] {
                TSelfMessenger killed(base);
                ::_exit(killed.Receiving() ? 0 : 1);
                return 1;
              }),
              0);
    ASSERT_TRUE(fs::is_socket(path));
    TSelfMessenger next(base);
    EXPECT_TRUE(next.Receiving()) << next.ListenError();
  }
  EXPECT_FALSE(fs::exists(path)) << "the copy's socket goes with it";

  {
    std::ofstream(path) << "not a socket";
    TSelfMessenger refused(base);
    EXPECT_FALSE(refused.Receiving());
    EXPECT_EQ(fs::file_size(path), 12u);
    fs::remove(path);
  }

  auto first = std::make_unique<TSelfMessenger>(base);
  ASSERT_TRUE(first->Receiving());
  fs::remove(path);  // somebody cleared the folder: a new copy makes its own socket
  TSelfMessenger second(base);
  ASSERT_TRUE(second.Receiving()) << second.ListenError();
  first.reset();
  EXPECT_TRUE(fs::is_socket(path)) << "the first copy removed the second one's socket";
}

TEST(SelfMessenger, NoChannelInAFolderThatOthersMayWrite) {
  TempDir dir;
  fs::create_directory(dir / "shared");
  ::chmod((dir / "shared").c_str(), 0777);
  TSelfMessenger running(dir / "shared" / "kassirod");
  EXPECT_FALSE(running.Receiving());
  EXPECT_EQ(running.ListenError(),
            "other users may write into the folder " + (dir / "shared").string() + " (mode 0777)");
  EXPECT_FALSE(fs::exists(dir / "shared" / "kassirod.sock"));
  ::chmod((dir / "shared").c_str(), 0755);  // readable for all is fine: the socket is not
  TSelfMessenger again(dir / "shared" / "kassirod");
  EXPECT_TRUE(again.Receiving()) << again.ListenError();
}

TEST(SelfMessenger, ARequestGetsTheRunningCopysAnswer) {
  TempDir dir;
  TSelfMessenger running(dir / "kassirod");
  ASSERT_TRUE(running.Receiving());
  const std::string big(100000, 's');  // more than one default socket buffer
  running.OnSelfEvent = [&](TSelfMessenger& m, std::int32_t id, const ShortStr& txt, bool) {
    m.Reply(id == SM_STATUS && txt.view() == "json" ? big : "?");
  };
  const pid_t child = ::fork();
  if (child == 0) {
    TSelfMessenger asker(dir / "kassirod", false);
    std::string answer;
    const bool ok = asker.Request(SM_STATUS, "json", answer, 20000) == TSendResult::Sent;
    ::_exit(ok && answer == big ? 0 : 1);
  }
  ASSERT_TRUE(running.WaitPending(20s));
  running.HandleIncoming();
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A host's loop is called once per request for it, from the messenger's thread, and a
// request taken back is never answered.
TEST(SelfMessenger, WhenPendingCallsOnceAndCanBeTakenBack) {
  TempDir dir;
  TSelfMessenger running(dir / "kassirod");
  ASSERT_TRUE(running.Receiving());
  std::atomic<int> calls = 0;
  std::promise<std::thread::id> called;
  running.WhenPending([&] {
    if (++calls == 1) called.set_value(std::this_thread::get_id());
  });
  ASSERT_EQ(InChild([&] { return TSelfMessenger(dir / "kassirod", false).SendMessage(SM_QUIT, "one") ? 0 : 1; }), 0);
  auto from = called.get_future();
  ASSERT_EQ(from.wait_for(10s), std::future_status::ready);
  EXPECT_NE(from.get(), std::this_thread::get_id());
  auto got = ReceiveWithin(running, 5000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "one");

  running.WhenPending([&] { ++calls; });
  running.WhenPending(nullptr);
  ASSERT_EQ(InChild([&] { return TSelfMessenger(dir / "kassirod", false).SendMessage(SM_QUIT, "two") ? 0 : 1; }), 0);
  got = ReceiveWithin(running, 5000);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "two");
  EXPECT_EQ(calls, 1) << "called again without being asked, or after being taken back";
}

TEST(AcceptBudget, ABurstThenASteadyRate) {
  const auto t0 = TAcceptBudget::TClock::time_point{} + 1h;
  TAcceptBudget b(t0);
  int taken = 0;
  while (b.Allows(t0)) {
    b.Spend();
    ++taken;
  }
  EXPECT_EQ(taken, ACCEPT_BURST);
  EXPECT_EQ(b.Wait(), 63ms);  // one token at 16 per second, rounded up
  EXPECT_FALSE(b.Allows(t0 + 62ms));
  EXPECT_TRUE(b.Allows(t0 + 63ms));
  b.Spend();
  // A long quiet time fills the bucket up to the burst, not beyond.
  taken = 0;
  for (const auto t = t0 + 1h; b.Allows(t); b.Spend()) ++taken;
  EXPECT_EQ(taken, ACCEPT_BURST);
}

// A same-user program that connects as fast as it can is served no faster than the
// budget allows, and the copy's loop is told how long to leave the channel alone.
TEST(SelfMessenger, AFloodIsTakenWithinTheBudget) {
  TempDir dir;
  TSelfMessenger running(dir / "kassirod");
  ASSERT_TRUE(running.Receiving());
  constexpr int Messages = 40;
  const pid_t flooder = ::fork();
  if (flooder == 0) {
    TSelfMessenger sender(dir / "kassirod", false);
    for (int i = 0; i < Messages; ++i) {
      if (!sender.SendMessage(SM_STATUS, std::to_string(i))) ::_exit(1);
    }
    ::_exit(0);
  }
  using TClock = TAcceptBudget::TClock;
  std::vector<TClock::duration> at;
  const auto start = TClock::now();
  running.OnSelfEvent = [&](TSelfMessenger&, std::int32_t, const ShortStr&, bool) {
    at.push_back(TClock::now() - start);
  };
  bool paused = false;
  while (at.size() < Messages && TClock::now() - start < 60s) {
    if (!running.WaitPending(100ms)) continue;
    const auto pause = running.HandleIncoming();
    if (pause.count() > 0) {
      paused = true;
      ::poll(nullptr, 0, static_cast<int>(pause.count()));
    }
  }
  int status = 0;
  ::waitpid(flooder, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_EQ(at.size(), static_cast<std::size_t>(Messages)) << "every message arrives, later";
  EXPECT_TRUE(paused);
  for (std::size_t i = 0; i < at.size(); ++i) {
    const double allowed = ACCEPT_BURST + ACCEPT_PER_SECOND * std::chrono::duration<double>(at[i]).count();
    EXPECT_LE(static_cast<double>(i + 1), allowed + 1e-9) << "message " << i;
  }
}

// Another user's process, which needs root to become somebody else.
class OtherUser : public ::testing::Test {
 protected:
  static constexpr uid_t Nobody = 65534;
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  }
  static bool BecomeNobody() {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(Nobody, Nobody, Nobody) == 0 &&
           ::setresuid(Nobody, Nobody, Nobody) == 0;
  }
};

// Even where others may look into the folder, the kernel turns them away at the socket:
// the running copy is not woken for them.
TEST_F(OtherUser, IsRefusedBeforeTheRunningCopySeesTheConnection) {
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  TSelfMessenger running(dir / "kassirod");
  ASSERT_TRUE(running.Receiving());
  const std::string path = running.ChannelName();
  EXPECT_EQ(InChild([&] {
              if (!BecomeNobody()) return 3;
              const int fd = RawConnect(path);
              if (fd >= 0) return 1;
              return errno == EACCES ? 0 : 2;
            }),
            0);
  EXPECT_EQ(InChild([&] {
              if (!BecomeNobody()) return 3;
              TSelfMessenger sender(dir / "kassirod", false);
              return sender.Send(SM_QUIT, "x") == TSendResult::Failed &&
                             sender.SendError() == std::errc::permission_denied
                         ? 0
                         : 1;
            }),
            0);
  EXPECT_FALSE(running.WaitPending(100ms)) << "a connection reached the running copy";
}

// A socket at the channel's path that another user serves (here made possible by root
// handing the folder over) gets no password: the sender checks who listens.
TEST_F(OtherUser, AChannelHeldByAnotherUserGetsNothing) {
  TempDir dir;
  ASSERT_EQ(::chown(dir.path().c_str(), Nobody, Nobody), 0);
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  const pid_t squatter = ::fork();
  if (squatter == 0) {
    if (!BecomeNobody()) ::_exit(3);
    TSelfMessenger theirs(dir / "kassirod");
    const char ok = theirs.Receiving() ? 'y' : 'n';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(3);
    char c;
    if (::read(done[0], &c, 1) != 1) ::_exit(3);
    bool got = false;
    theirs.OnSelfEvent = [&](TSelfMessenger&, std::int32_t, const ShortStr&, bool) { got = true; };
    theirs.HandleIncoming();
    ::_exit(got ? 1 : 0);
  }
  char ok = 0;
  ASSERT_EQ(::read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');

  TSelfMessenger ours(dir / "kassirod");
  EXPECT_FALSE(ours.Receiving()) << "a folder of another user is no place for our channel";
  EXPECT_EQ(ours.ListenError(), "the folder " + dir.path().string() + " belongs to uid 65534, not to uid 0");
  TSelfMessenger sender(dir / "kassirod", false);
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

}  // namespace
}  // namespace kassiro::platform
