// TSockServer over real loopback sockets. Every wait ends on the awaited event or after
// a generous deadline; nothing sleeps a fixed time.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "NetTestSupport.h"
#include "core/LogFile.h"
#include "net/SockCmps.h"

namespace kassiro {
namespace {

using namespace nettest;

class SockServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The server's log lines land in a file of this suite's own.
    const auto dir = std::filesystem::path(::testing::TempDir()) / "kassiro_net_test";
    std::filesystem::create_directories(dir);
    BindProgramLog(dir / "test_net");
  }

  void SetUp() override {
    Rec.Attach(Srv);
    Srv.SetLocalPort(0);
  }

  void Start() {
    Srv.Enable();
    ASSERT_TRUE(Srv.Enabled());
    ASSERT_NE(Srv.BoundPort(), 0);
  }

  // Connects a client and waits until the server has numbered it.
  std::unique_ptr<TTestClient> Connect(std::uint16_t* ID = nullptr) {
    const auto before = Rec.Of(TEvent::Connect).size();
    auto c = std::make_unique<TTestClient>(Srv.BoundPort());
    EXPECT_TRUE(c->Connected());
    const auto id = Rec.WaitNth(TEvent::Connect, before + 1);
    EXPECT_TRUE(id.has_value());
    if (ID) *ID = static_cast<std::uint16_t>(id.value_or(0));
    return c;
  }

  static std::string LogText() {
    std::ifstream f(ProgramLog().FileName(), std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }

  TRecorder Rec;    // outlives the server, whose events it takes
  TSockServer Srv;
};

TEST_F(SockServerTest, CutsTheStreamIntoMessagesOnTheIoThread) {
  Start();
  struct TCase {
    std::string Stream;
    std::vector<std::string> Messages;
  } cases[] = {
      {Bytes({0x07, 0x01, 0x01, 0x01, 0x05, 0x00, 0x31, 0x3B, 0x05, 0x03, 0x02, 0x01, 0x05, 0x00}),
       {Bytes({0x01, 0x01, 0x01, 0x05, 0x00, 0x31, 0x3B}), Bytes({0x03, 0x02, 0x01, 0x05, 0x00})}},
      {Bytes({0x00, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05}), {"", Bytes({0x01, 0x02, 0x03, 0x04, 0x05})}},
      // 603 bytes: the 512-byte read buffer ends inside the third message
      {Frame(std::string(200, 'a')) + Frame(std::string(200, 'b')) + Frame(std::string(200, 'c')),
       {std::string(200, 'a'), std::string(200, 'b'), std::string(200, 'c')}},
  };
  for (const auto& c : cases) {
    std::uint16_t id = 0;
    auto client = Connect(&id);
    const auto before = Rec.Of(TEvent::DataIn).size();
    ASSERT_TRUE(client->Send(c.Stream));
    ASSERT_TRUE(Rec.WaitCount(TEvent::DataIn, before + c.Messages.size()));
    const auto got = Rec.Of(TEvent::DataIn);
    for (std::size_t i = 0; i < c.Messages.size(); ++i)
      EXPECT_EQ(got[before + i], DataEv(id, c.Messages[i]));
  }
  const auto events = Rec.Events();
  for (const auto& e : events) {
    EXPECT_NE(e.Thread, std::this_thread::get_id());
    EXPECT_EQ(e.Thread, events.front().Thread);
  }
}

TEST_F(SockServerTest, MessageSentByteByByteArrivesWholeOnce) {
  Start();
  std::uint16_t id = 0;
  auto client = Connect(&id);
  const std::string frame = Bytes({0x07, 0x01, 0x01, 0x01, 0x05, 0x00, 0x31, 0x3B});
  for (char b : frame) {
    ASSERT_TRUE(client->Send(std::string(1, b)));
    ASSERT_TRUE(client->WaitFlushed());
  }
  ASSERT_TRUE(client->Send(Frame("end")));
  ASSERT_TRUE(Rec.WaitFor(DataEv(id, "end")));
  EXPECT_EQ(Rec.Of(TEvent::DataIn),
            (std::vector{DataEv(id, frame.substr(1)), DataEv(id, "end")}));
  EXPECT_TRUE(Rec.Of(TEvent::Error).empty());
}

TEST_F(SockServerTest, UnfinishedMessageAtCloseIsReportedMissing) {
  Start();
  std::uint16_t id = 0;
  auto client = Connect(&id);
  ASSERT_TRUE(client->Send(Bytes({0x07, 0x01, 0x01, 0x01, 0x05})));
  ASSERT_TRUE(client->WaitFlushed());
  client->Close();
  ASSERT_TRUE(Rec.WaitFor(DisconnectEv(id)));
  // 4 of 7 bytes came: 3 missing, reported as one more
  EXPECT_EQ(Rec.Events(), (std::vector{ConnectEv(id), ErrorEv(4, "Bytes Missing"), DisconnectEv(id)}));
  EXPECT_NE(LogText().find("TCP server: Bytes Missing: client " + std::to_string(id) +
                           " left a message unfinished"),
            std::string::npos)
      << LogText();
}

TEST_F(SockServerTest, CleanCloseReportsOnlyTheDisconnect) {
  Start();
  std::uint16_t id = 0;
  auto client = Connect(&id);
  ASSERT_TRUE(client->Send(Frame("hi")));
  client->Close();
  ASSERT_TRUE(Rec.WaitFor(DisconnectEv(id)));
  EXPECT_EQ(Rec.Events(), (std::vector{ConnectEv(id), DataEv(id, "hi"), DisconnectEv(id)}));
}

// A client that ends its side of the connection still reads: what was queued for it
// until its end was seen (here even by the disconnect handler) reaches it, then the
// server closes. Its identifier is free at once.
TEST_F(SockServerTest, ClientThatEndsItsSideGetsWhatWasQueuedForIt) {
  const std::string big(250, 'x');
  Srv.OnDataIn = [this, big](TSockServer& s, std::uint16_t id, const ShortStr& d) {
    Rec.Add(DataEv(id, d.str()));
    for (int i = 0; i < 200; ++i) s.SendData(id, ShortStr(big));  // 50 kB on their way
  };
  Srv.OnDisconnect = [this](TSockServer& s, std::uint16_t id) {
    s.SendData(id, ShortStr("last"));
    Rec.Add(DisconnectEv(id));
  };
  Start();
  std::uint16_t id = 0;
  auto client = Connect(&id);
  ASSERT_TRUE(client->Send(Frame("go")));
  ASSERT_TRUE(Rec.WaitFor(DataEv(id, "go")));
  client->EndSending();
  ASSERT_TRUE(Rec.WaitFor(DisconnectEv(id)));
  std::uint16_t next = 0;
  auto other = Connect(&next);
  EXPECT_EQ(next, id);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(client->ReadMessage(), big) << i;
  EXPECT_EQ(client->ReadMessage(), "last");
  EXPECT_TRUE(client->WaitClosed());
  // The new client of that identifier gets nothing of it.
  EXPECT_TRUE(other->NothingToRead());
}

TEST_F(SockServerTest, LowestFreeIdentifierIsTaken) {
  Start();
  std::uint16_t id1 = 0, id2 = 0, id3 = 0, idNew = 0, idNext = 0;
  auto c1 = Connect(&id1);
  auto c2 = Connect(&id2);
  auto c3 = Connect(&id3);
  EXPECT_EQ((std::vector<int>{id1, id2, id3}), (std::vector<int>{1, 2, 3}));
  c2->Close();
  ASSERT_TRUE(Rec.WaitFor(DisconnectEv(2)));
  auto c4 = Connect(&idNew);
  EXPECT_EQ(idNew, 2);
  auto c5 = Connect(&idNext);
  EXPECT_EQ(idNext, 4);
}

TEST_F(SockServerTest, SendDataFramesTheMessage) {
  Start();
  std::uint16_t id = 0;
  auto client = Connect(&id);
  const std::string msg = "0123456789";
  Srv.SendData(id, ShortStr(msg));
  const auto wire = client->Read(11);
  ASSERT_TRUE(wire.has_value());
  EXPECT_EQ(*wire, "\x0A" + msg);
  // the longest message, and an empty one
  Srv.SendData(id, ShortStr(std::string(255, 'z')));
  Srv.SendData(id, ShortStr());
  EXPECT_EQ(client->ReadMessage(), std::string(255, 'z'));
  EXPECT_EQ(client->ReadMessage(), "");
}

TEST_F(SockServerTest, SendDataToBadOrFreeIdentifiers) {
  Start();
  std::uint16_t id = 0;
  auto client = Connect(&id);
  Srv.SendData(7, ShortStr("to nobody"));
  Srv.SendData(0, ShortStr("to nobody"));
  Srv.SendData(501, ShortStr("too far"));
  ASSERT_TRUE(Rec.WaitFor(ErrorEv(501, "ID too big")));
  Srv.SendData(id, ShortStr("mine"));
  EXPECT_EQ(client->ReadMessage(), "mine");
  EXPECT_EQ(Rec.Events(), (std::vector{ConnectEv(id), ErrorEv(501, "ID too big")}));
  EXPECT_TRUE(client->NothingToRead());
}

TEST_F(SockServerTest, HandlersMaySendAndAHandlerThatThrowsStopsNothing) {
  Srv.OnDataIn = [this](TSockServer& s, std::uint16_t id, const ShortStr& d) {
    Rec.Add(DataEv(id, d.str()));
    if (d == "boom") throw std::runtime_error("handler failed");
    s.SendData(id, d);  // the echo the server's intake does with its answers
  };
  Start();
  std::uint16_t id = 0;
  auto client = Connect(&id);
  ASSERT_TRUE(client->Send(Frame("one") + Frame("boom") + Frame("two")));
  EXPECT_EQ(client->ReadMessage(), "one");
  EXPECT_EQ(client->ReadMessage(), "two");
  EXPECT_NE(LogText().find("handler failed"), std::string::npos);
}

// The 500 identifiers in use at once; the 501st client is closed at once.
TEST_F(SockServerTest, FiveHundredClientsAndNoMore) {
  rlimit lim{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &lim), 0);
  constexpr rlim_t needed = 2 * (MAX_ENTRIES + 1) + 64;  // both ends of every connection
  if (lim.rlim_cur < needed) {
    if (lim.rlim_max < needed)
      GTEST_SKIP() << "the descriptor limit " << lim.rlim_max << " is too small for 500 clients";
    lim.rlim_cur = lim.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lim), 0);
  }
  Srv.SetMaxPerAddress(MAX_ENTRIES);  // every client comes from one address here
  Start();
  std::vector<std::unique_ptr<TTestClient>> clients;
  for (int i = 0; i < MAX_ENTRIES; ++i) {
    clients.push_back(std::make_unique<TTestClient>(Srv.BoundPort()));
    ASSERT_TRUE(clients.back()->Connected());
  }
  ASSERT_TRUE(Rec.WaitCount(TEvent::Connect, MAX_ENTRIES));
  std::vector<bool> seen(MAX_ENTRIES + 1, false);
  for (const auto& e : Rec.Of(TEvent::Connect)) {
    ASSERT_TRUE(e.Value >= 1 && e.Value <= MAX_ENTRIES);
    EXPECT_FALSE(seen[e.Value]) << "identifier given twice: " << e.Value;
    seen[e.Value] = true;
  }

  TTestClient extra(Srv.BoundPort());
  ASSERT_TRUE(extra.Connected());
  EXPECT_TRUE(extra.WaitClosed());
  EXPECT_NE(LogText().find("all 500 client identifiers are in use"), std::string::npos);

  clients[16]->Close();  // whichever identifier it had is the only free one now
  ASSERT_TRUE(Rec.WaitCount(TEvent::Disconnect, 1));
  const auto freed = Rec.Of(TEvent::Disconnect).front().Value;
  TTestClient again(Srv.BoundPort());
  ASSERT_TRUE(Rec.WaitCount(TEvent::Connect, MAX_ENTRIES + 1));
  EXPECT_EQ(Rec.Of(TEvent::Connect).back().Value, freed);
}

// One address holds at most MAX_PER_ADDRESS connections; the next is closed at once and
// the refusals of a minute give one log line. Other addresses still get in.
TEST_F(SockServerTest, OneAddressCannotTakeEverySlot) {
  const std::size_t logBefore = LogText().size();  // the log file outlives earlier runs
  Start();
  std::vector<std::unique_ptr<TTestClient>> greedy;
  for (std::size_t i = 0; i < MAX_PER_ADDRESS; ++i) {
    greedy.push_back(std::make_unique<TTestClient>(Srv.BoundPort(), 0, "127.0.0.2"));
    ASSERT_TRUE(greedy.back()->Connected());
  }
  ASSERT_TRUE(Rec.WaitCount(TEvent::Connect, MAX_PER_ADDRESS));
  for (int i = 0; i < 3; ++i) {
    TTestClient refused(Srv.BoundPort(), 0, "127.0.0.2");
    ASSERT_TRUE(refused.Connected());  // the kernel accepts; the server closes it
    EXPECT_TRUE(refused.WaitClosed());
  }
  // Another host is let in meanwhile.
  TTestClient other(Srv.BoundPort(), 0, "127.0.0.3");
  ASSERT_TRUE(Rec.WaitCount(TEvent::Connect, MAX_PER_ADDRESS + 1));
  EXPECT_EQ(Srv.ClientCount(), MAX_PER_ADDRESS + 1);

  const std::string log = LogText().substr(logBefore);
  const std::string line = "refused 1 connection(s) from 127.0.0.2: it already holds 32 connections";
  const auto at = log.find(line);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find("connection(s) from 127.0.0.2", at + line.size()), std::string::npos)
      << "one line per address and minute";

  // A freed connection makes room for the same address again.
  greedy.front()->Close();
  ASSERT_TRUE(Rec.WaitCount(TEvent::Disconnect, 1));
  TTestClient again(Srv.BoundPort(), 0, "127.0.0.2");
  EXPECT_TRUE(Rec.WaitCount(TEvent::Connect, MAX_PER_ADDRESS + 2));
}

// Only the allowed addresses get in; any other is closed before it is numbered, and its
// refusals of a minute give one log line with their count.
TEST_F(SockServerTest, AllowListClosesOtherAddressesAtOnce) {
  const std::size_t logBefore = LogText().size();
  Srv.SetAllowList(TAllowList::Parse("127.0.0.2, 10.0.0.0/8").Value.value());
  Start();
  for (int i = 0; i < 3; ++i) {
    TTestClient denied(Srv.BoundPort(), 0, "127.0.0.3");
    ASSERT_TRUE(denied.Connected());  // the kernel accepts; the server closes it
    EXPECT_TRUE(denied.WaitClosed());
  }
  TTestClient allowed(Srv.BoundPort(), 0, "127.0.0.2");
  ASSERT_TRUE(Rec.WaitCount(TEvent::Connect, 1));
  ASSERT_TRUE(allowed.Send(Frame("hi")));
  ASSERT_TRUE(Rec.WaitCount(TEvent::DataIn, 1));
  EXPECT_EQ(Rec.Of(TEvent::Connect).size(), 1u) << "no denied client was numbered";
  EXPECT_EQ(Srv.ClientCount(), 1u);

  const std::string log = LogText().substr(logBefore);
  const std::string line =
      "refused 1 connection(s) from 127.0.0.3: the address is not in the allow list 127.0.0.2,10.0.0.0/8";
  const auto at = log.find(line);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find("from 127.0.0.3", at + line.size()), std::string::npos) << "one line per minute";
  EXPECT_EQ(log.find("from 127.0.0.2"), std::string::npos);
}

// A connected socket to Addr (IPv4 or IPv6 text) and Port, or -1.
int ConnectTo(const char* Addr, std::uint16_t Port) {
  sockaddr_storage sa{};
  socklen_t len = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&sa);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&sa);
  if (::inet_pton(AF_INET, Addr, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(Port);
    len = sizeof *v4;
  } else if (::inet_pton(AF_INET6, Addr, &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(Port);
    len = sizeof *v6;
  } else {
    return -1;
  }
  const int fd = ::socket(sa.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&sa), len) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The server listens on the one address it is given: a client of another local address
// finds nothing there.
TEST_F(SockServerTest, ListensOnTheGivenAddressOnly) {
  struct Case {
    const char* Listen;
    const char* Reached;
    const char* Missed;
  };
  std::size_t connects = 0;
  for (const Case c : {Case{"127.0.0.2", "127.0.0.2", "127.0.0.1"}, Case{"::1", "::1", "127.0.0.1"}}) {
    SCOPED_TRACE(c.Listen);
    Srv.SetListenAddress(ParseIpAddress(c.Listen));
    Srv.Enable();
    if (!Srv.Enabled() && std::string(c.Listen) == "::1") GTEST_SKIP() << "no IPv6 loopback here";
    ASSERT_TRUE(Srv.Enabled());
    const int missed = ConnectTo(c.Missed, Srv.BoundPort());
    EXPECT_LT(missed, 0);
    if (missed >= 0) ::close(missed);
    const int reached = ConnectTo(c.Reached, Srv.BoundPort());
    ASSERT_GE(reached, 0);
    EXPECT_TRUE(Rec.WaitCount(TEvent::Connect, ++connects));
    ::close(reached);
    Srv.Disable();
  }
}

// A client that stops reading is dropped; the sender and the other clients go on.
TEST_F(SockServerTest, ClientThatStopsReadingIsDropped) {
  Start();
  std::uint16_t stuckId = 0, goodId = 0;
  auto stuck = std::make_unique<TTestClient>(Srv.BoundPort(), 4096);
  ASSERT_TRUE(Rec.WaitCount(TEvent::Connect, 1));
  stuckId = static_cast<std::uint16_t>(Rec.Of(TEvent::Connect).back().Value);
  auto good = Connect(&goodId);

  const ShortStr big(std::string(255, 'x'));
  const auto dropped = ErrorEv(stuckId, "Not all bytes sended");
  int sent = 0;
  // Far more than the queue and every socket buffer can hold.
  constexpr int MAX_ROUNDS = 64 * 1024 * 1024 / 256;
  for (; sent < MAX_ROUNDS && !Rec.Has(dropped); ++sent) {
    Srv.SendData(stuckId, big);
    Srv.SendData(goodId, ShortStr(std::to_string(sent)));
    ASSERT_EQ(good->ReadMessage(), std::to_string(sent));
  }
  ASSERT_TRUE(Rec.Has(dropped)) << "after " << sent << " messages";
  ASSERT_TRUE(Rec.WaitFor(DisconnectEv(stuckId)));
  EXPECT_TRUE(stuck->WaitClosed());
  Srv.SendData(goodId, ShortStr("still here"));
  EXPECT_EQ(good->ReadMessage(), "still here");
  EXPECT_EQ(Rec.Of(TEvent::Disconnect), std::vector{DisconnectEv(stuckId)});
  EXPECT_NE(LogText().find("client " + std::to_string(stuckId) + " (127.0.0.1:"), std::string::npos);
}

TEST_F(SockServerTest, DisableClosesAllWithoutDisconnectAndEnableStartsAfresh) {
  Start();
  std::uint16_t id1 = 0, id2 = 0;
  auto c1 = Connect(&id1);
  auto c2 = Connect(&id2);
  Srv.Disable();
  EXPECT_FALSE(Srv.Enabled());
  EXPECT_EQ(Srv.BoundPort(), 0);
  EXPECT_TRUE(c1->WaitClosed());
  EXPECT_TRUE(c2->WaitClosed());
  Srv.SendData(id1, ShortStr("gone"));  // nobody there: nothing happens
  EXPECT_EQ(Rec.Events(), (std::vector{ConnectEv(1), ConnectEv(2)}));

  Start();
  std::uint16_t id = 0;
  auto c3 = Connect(&id);
  EXPECT_EQ(id, 1);
  Srv.SendData(id, ShortStr("back"));
  EXPECT_EQ(c3->ReadMessage(), "back");
}

TEST_F(SockServerTest, DisableFromAHandlerStopsAtOnce) {
  Srv.OnDataIn = [this](TSockServer& s, std::uint16_t id, const ShortStr& d) {
    s.Disable();
    Rec.Add(DataEv(id, d.str()));
  };
  Start();
  std::uint16_t id = 0;
  auto client = Connect(&id);
  ASSERT_TRUE(client->Send(Frame("stop") + Frame("never seen")));
  ASSERT_TRUE(Rec.WaitFor(DataEv(id, "stop")));
  EXPECT_FALSE(Srv.Enabled());
  EXPECT_TRUE(client->WaitClosed());
  EXPECT_EQ(Rec.Events(), (std::vector{ConnectEv(id), DataEv(id, "stop")}));

  Start();  // joins the loop that the handler ended
  auto again = Connect(&id);
  EXPECT_EQ(id, 1);
}

TEST_F(SockServerTest, EnableReportsAPortInUse) {
  Start();
  TSockServer other;
  TRecorder otherRec;
  otherRec.Attach(other);
  other.SetLocalPort(Srv.BoundPort());
  other.Enable();
  // reported on this thread, before Enable returned
  EXPECT_EQ(otherRec.Events(), std::vector{ErrorEv(-1, "Binding socket and address")});
  EXPECT_EQ(otherRec.Events().front().Thread, std::this_thread::get_id());
  EXPECT_FALSE(other.Enabled());
  EXPECT_NE(LogText().find("Binding socket and address failed on port"), std::string::npos);

  other.SetLocalPort(0);
  other.Enable();
  EXPECT_TRUE(other.Enabled());
  const auto port = other.BoundPort();
  other.Enable();  // already enabled: nothing changes
  EXPECT_EQ(other.BoundPort(), port);
}

// Frames from several threads at once reach the client whole and, per thread, in order.
TEST_F(SockServerTest, SendDataFromSeveralThreads) {
  Start();
  std::uint16_t id = 0;
  auto client = Connect(&id);
  constexpr int THREADS = 4, PER_THREAD = 500;  // at most 242000 bytes: the queue never overflows
  auto message = [](int t, int k) {
    std::string m(static_cast<std::size_t>(3 + (k * 7 + t) % 118), static_cast<char>(t * 31 + k));
    m[0] = static_cast<char>(t);
    m[1] = static_cast<char>(k >> 8);
    m[2] = static_cast<char>(k & 0xFF);
    return m;
  };
  std::vector<std::thread> senders;
  for (int t = 0; t < THREADS; ++t)
    senders.emplace_back([&, t] {
      for (int k = 0; k < PER_THREAD; ++k) Srv.SendData(id, ShortStr(message(t, k)));
    });
  int next[THREADS] = {};
  for (int n = 0; n < THREADS * PER_THREAD; ++n) {
    const auto m = client->ReadMessage();
    ASSERT_TRUE(m.has_value() && m->size() >= 3) << "message " << n;
    const int t = (*m)[0];
    ASSERT_TRUE(t >= 0 && t < THREADS);
    const int k = static_cast<std::uint8_t>((*m)[1]) * 256 + static_cast<std::uint8_t>((*m)[2]);
    ASSERT_EQ(k, next[t]) << "thread " << t;
    ASSERT_EQ(*m, message(t, k));
    ++next[t];
  }
  for (auto& s : senders) s.join();
  EXPECT_TRUE(Rec.Of(TEvent::Error).empty());
}

// Stands in for the intake: "bad" is a wrong set password, anything else is served.
// Records when each request was taken.
class WrongPasswordTest : public SockServerTest {
 protected:
  void SetUp() override {
    SockServerTest::SetUp();
    Srv.OnDataIn = [this](TSockServer& s, std::uint16_t id, const ShortStr& d) {
      {
        std::lock_guard lock(Mu);
        TakenAt[d.str()] = Clock::now();
      }
      Rec.Add(DataEv(id, d.str()));
      if (d == "bad") s.WrongPassword(id);  // before the refusal, as the intake does
      s.SendData(id, ShortStr(d == "bad" ? std::string("no") : "ok:" + d.str()));
    };
  }
  std::unique_ptr<TTestClient> From(const char* Host) {
    const auto before = Rec.Of(TEvent::Connect).size();
    auto c = std::make_unique<TTestClient>(Srv.BoundPort(), 0, Host);
    EXPECT_TRUE(Rec.WaitCount(TEvent::Connect, before + 1));
    return c;
  }
  bool WaitTaken(std::size_t n) { return Rec.WaitCount(TEvent::DataIn, n); }
  Clock::time_point Taken(const std::string& msg) {
    std::lock_guard lock(Mu);
    return TakenAt.at(msg);
  }

  std::mutex Mu;
  std::map<std::string, Clock::time_point> TakenAt;
};

TEST_F(WrongPasswordTest, AnswersAndRequestsOfAnAddressWaitLongerAndLonger) {
  using std::chrono::milliseconds;
  const std::size_t logBefore = LogText().size();
  Srv.SetFirstPasswordWait(milliseconds(300));
  Start();
  auto a = From("127.0.0.2");
  auto a2 = From("127.0.0.2");
  for (int i = 0; i < 3; ++i) {  // free
    ASSERT_TRUE(a->Send(Frame("bad")));
    ASSERT_EQ(a->ReadMessage(), "no");
  }
  const auto t0 = Clock::now();
  ASSERT_TRUE(a->Send(Frame("bad") + Frame("x1") + Frame("x2")));
  ASSERT_TRUE(WaitTaken(4));
  ASSERT_TRUE(a2->Send(Frame("bad")));  // its wait follows the first connection's

  EXPECT_EQ(a->ReadMessage(), "no");
  EXPECT_GE(Clock::now() - t0, milliseconds(300));
  EXPECT_EQ(a->ReadMessage(), "ok:x1");  // held requests are served afterwards, in order
  EXPECT_EQ(a->ReadMessage(), "ok:x2");
  EXPECT_GE(Taken("x1") - t0, milliseconds(300)) << "requests stay unread while held";
  EXPECT_EQ(a2->ReadMessage(), "no");
  EXPECT_GE(Clock::now() - t0, milliseconds(300 + 600));

  const std::string log = LogText().substr(logBefore);
  EXPECT_NE(log.find("TCP server: 4 wrong set password(s) from 127.0.0.2; its answers now wait 300 ms"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("5 wrong set password(s)"), std::string::npos) << "once a minute per address";
}

TEST_F(WrongPasswordTest, OtherAddressesAreNotSlowedAndAHeldClientThatLeavesIsReleased) {
  Srv.SetFirstPasswordWait(std::chrono::seconds(60));  // longer than any wait below
  const std::size_t logBefore = LogText().size();
  Start();
  auto a = From("127.0.0.2");
  ASSERT_TRUE(a->Send(Frame("bad") + Frame("bad") + Frame("bad") + Frame("bad") + Frame("x1")));
  ASSERT_TRUE(WaitTaken(4));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(a->ReadMessage(), "no");

  auto b = From("127.0.0.3");
  ASSERT_TRUE(b->Send(Frame("good")));
  EXPECT_EQ(b->ReadMessage(), "ok:good");
  auto same = From("127.0.0.2");  // a connection of the address that gave no wrong one
  ASSERT_TRUE(same->Send(Frame("mine")));
  EXPECT_EQ(same->ReadMessage(), "ok:mine");
  auto left = From("127.0.0.2");  // held when the server goes away
  ASSERT_TRUE(left->Send(Frame("bad")));

  const auto id = Rec.WaitNth(TEvent::Connect, 1);
  a->Close();
  ASSERT_TRUE(Rec.WaitFor(DisconnectEv(*id)));
  EXPECT_FALSE(Rec.Has(DataEv(*id, "x1")));
  EXPECT_NE(LogText().substr(logBefore).find("left while held; 3 unread byte(s) dropped"),
            std::string::npos);
  const auto freed = From("127.0.0.4");  // its identifier is free again
  EXPECT_EQ(Rec.Of(TEvent::Connect).back().Value, *id);
}

}  // namespace
}  // namespace kassiro
