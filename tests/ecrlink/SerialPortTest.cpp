// The termios port and the protocol over a pseudo-terminal made by the test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Pty.h"
#include "ecrlink/FrameCodec.h"
#include "ecrlink/ProtConst.h"
#include "ecrlink/SerialPort.h"
#include "ecrlink/SimpleComObject.h"

namespace kassiro {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::steady_clock;

Bytes ToBytes(std::span<const std::uint8_t> s) { return {s.begin(), s.end()}; }

std::string OpenError(const std::string& name, std::int32_t speed = 9600) {
  TSimpleComObject com;
  com.SetCommPortName(name);
  com.SetSpeed(speed);
  com.SetLogSink({});
  try {
    com.OpenEcrPort();
  } catch (const ECommError& e) {
    return e.what();
  }
  return "";
}

template <class Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto deadline = steady_clock::now() + limit;
  while (!pred()) {
    if (steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(SerialPortPty, MissingDeviceCannotBeOpened) {
  EXPECT_EQ(OpenError("ttyZZ9"), "Unable to open port ttyZZ9!");
}

// Open by the settings' short name and by full path: raw 8N1, no flow control, polled
// reads, whatever the line was set to before; closing sends the release request.
TEST(SerialPortPty, OpensAndConfiguresTheLine) {
  TPty pty;
  // The line's settings belong to the terminal: any descriptor of it reads and sets them.
  const int slave = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  const auto closeSlave = std::unique_ptr<const int, void (*)(const int*)>(&slave, [](const int* fd) { ::close(*fd); });
  for (const std::string& name : {pty.SlaveName(), pty.SlavePath()}) {
    SCOPED_TRACE(name);
    struct termios cooked {};
    ASSERT_EQ(tcgetattr(slave, &cooked), 0);
    cooked.c_lflag |= ECHO | ICANON | ISIG;
    cooked.c_iflag |= IXON | IXOFF | ICRNL;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_cflag |= CRTSCTS | PARENB | CSTOPB;
    cooked.c_cc[VMIN] = 1;
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &cooked), 0);

    TSimpleComObject com;
    com.SetCommPortName(name);
    com.SetSpeed(9600);
    com.SetLogSink({});
    ASSERT_NO_THROW(com.OpenEcrPort());

    struct termios t {};
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & (CRTSCTS | PARENB | CSTOPB | CSIZE), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));

    com.CloseEcrPort();
    std::array<std::uint8_t, 6> got{};
    ASSERT_EQ(pty.ReadExactly(got, 5000), got.size());
    EXPECT_EQ(got, RELEASE_REQUEST);
  }
}

TEST(SerialPortPty, EverySpeedOfTheTableOpens) {
  TPty pty;
  for (const TWaitConstant& w : SendWaitConsts) {
    EXPECT_EQ(OpenError(pty.SlaveName(), static_cast<std::int32_t>(w.Speed)), "") << w.Speed;
  }
}

TEST(SerialPortPty, SecondServerOnTheLineIsRefusedUntilTheFirstCloses) {
  TPty pty;
  TSimpleComObject first;
  first.SetCommPortName(pty.SlaveName());
  first.SetSpeed(9600);
  first.SetLogSink({});
  first.OpenEcrPort();
  EXPECT_EQ(OpenError(pty.SlaveName()), "Unable to open port " + pty.SlaveName() + "!");
  EXPECT_EQ(OpenError(pty.SlavePath()), "Unable to open port " + pty.SlavePath() + "!");
  first.CloseEcrPort();
  EXPECT_EQ(OpenError(pty.SlaveName()), "");
}

TEST(SerialPortPty, ReadsWhatTheOtherSideWrote) {
  TPty pty;
  TSerialPort port(pty.SlavePath(), 9600);
  port.Open();
  std::uint8_t b = 0;
  int err = -1;
  const auto before = steady_clock::now();
  EXPECT_FALSE(port.ReadByte(b, err));  // nothing there: one 10 ms window
  EXPECT_EQ(err, 0);
  EXPECT_GE(steady_clock::now() - before, std::chrono::milliseconds(9));

  ASSERT_TRUE(pty.Write(Bytes{0x42, 0x0A, 0x0D, 0x11, 0x13}));
  Bytes got;
  for (int i = 0; i < 500 && got.size() < 5; ++i)
    if (port.ReadByte(b, err)) got.push_back(b);
  EXPECT_EQ(got, (Bytes{0x42, 0x0A, 0x0D, 0x11, 0x13}));  // no translation, no flow control

  // Input that came before a purge is gone, also what the port had buffered.
  ASSERT_TRUE(pty.Write(Bytes{1, 2, 3}));
  ASSERT_TRUE(WaitUntil([&] { return port.ReadByte(b, err); }));
  port.PurgeInput();
  EXPECT_FALSE(port.ReadByte(b, err));

  // What a purge would throw away can be read first, without waiting: the buffered rest
  // of a read, then what the driver holds.
  ASSERT_TRUE(pty.Write(Bytes{4, 5, 6}));
  ASSERT_TRUE(WaitUntil([&] { return port.ReadByte(b, err); }));
  ASSERT_TRUE(pty.Write(Bytes{7}));
  Bytes waiting;
  std::array<std::uint8_t, 8> buf{};
  ASSERT_TRUE(WaitUntil([&] {
    const std::size_t n = port.ReadWaiting(buf);
    waiting.insert(waiting.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
    return waiting.size() >= 3;
  }));
  EXPECT_EQ(waiting, (Bytes{5, 6, 7}));
  EXPECT_EQ(port.ReadWaiting(buf), 0u);

  std::size_t written = 0;
  const Bytes out = {0xFF, 0x06, 0x0A, 0x0D};
  EXPECT_TRUE(port.Write(out, written, err));
  EXPECT_EQ(written, out.size());
  std::array<std::uint8_t, 4> echo{};
  ASSERT_EQ(pty.ReadExactly(echo, 5000), echo.size());
  EXPECT_EQ(ToBytes(echo), out);
}

// The other side gone: reads fail, but each still takes its window (no busy loop), and
// the protocol logs the line lost, once.
TEST(SerialPortPty, HungUpLineFailsQuietly) {
  TPty pty;
  TSerialPort port(pty.SlavePath(), 9600);
  port.Open();
  pty.CloseMaster();
  std::uint8_t b = 0;
  int err = 0;
  const auto before = steady_clock::now();
  for (int i = 0; i < 5; ++i) {
    EXPECT_FALSE(port.ReadByte(b, err));
    EXPECT_NE(err, 0);
  }
  EXPECT_GE(steady_clock::now() - before, std::chrono::milliseconds(45));
  port.Close();

  TPty pty2;
  std::vector<std::string> log;
  {
    TSimpleComObject com;
    com.SetCommPortName(pty2.SlaveName());
    com.SetSpeed(9600);
    com.SetLogSink([&](std::string_view line) { log.emplace_back(line); });
    com.OpenEcrPort();
    pty2.CloseMaster();
    ShortStr block;
    EXPECT_EQ(com.GetBlock(block, 100), RES_TIMEOUT);
    EXPECT_EQ(com.TakeEcr(1, block), RES_TIMEOUT);
  }
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.size(), 1u) << log.back();
  const std::string lost = "Port " + pty2.SlaveName() + " lost: Read error ";
  EXPECT_TRUE(log[0].starts_with(lost) && log[0].ends_with("! GetBlock")) << log[0];
}

// A tiny ECR on the master side: answers a take request for ECR 5 with "READY", and
// every good data frame with ACK followed by a frame "got:" + payload.
class TResponder {
 public:
  explicit TResponder(TPty& pty) : pty_(pty), thread_([this] { Run(); }) {}
  ~TResponder() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  Bytes Received() {
    std::lock_guard lk(mu_);
    return received_;
  }

 private:
  void Run() {
    TFrameReceiver rx;
    Bytes window;
    std::array<std::uint8_t, 256> buf{};
    const Bytes take = {0xFF, 0xFF, 0x11, 0x11, '0', '5'};
    while (!stop_) {
      const std::size_t n = pty_.Read(buf, 20);
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = buf[i];
        {
          std::lock_guard lk(mu_);
          received_.push_back(b);
        }
        window.push_back(b);
        if (window.size() > take.size()) window.erase(window.begin());
        if (window == take) pty_.Write(BuildFrame("READY", 0).view());
        if (rx.Consume(b) == TRxEvent::rxFrameGood) {
          pty_.Write(Bytes{ECR_ACK});
          pty_.Write(BuildFrame("got:" + rx.Payload().str(), 0).view());
        }
      }
    }
  }

  TPty& pty_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  Bytes received_;
  std::thread thread_;
};

bool Contains(const Bytes& hay, const Bytes& needle) {
  return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

TEST(SerialPortPty, WholeExchangeWithAnEcr) {
  TPty pty;
  TSimpleComObject com;
  com.SetCommPortName(pty.SlaveName());
  com.SetSpeed(1200);  // the widest reply window: a busy machine may be slow to answer
  com.SetLogSink({});
  com.OpenEcrPort();
  TResponder ecr(pty);

  ShortStr block;
  std::int32_t r = RES_NORESULT;
  for (int attempt = 0; attempt < 3 && r != RES_OK; ++attempt) r = com.TakeEcr(5, block);
  ASSERT_EQ(r, RES_OK);
  EXPECT_EQ(block.view(), "READY");
  EXPECT_EQ(com.SendBlock("abc"), RES_OK);
  EXPECT_EQ(com.GetBlock(block, BIG_TO), RES_OK);
  EXPECT_EQ(block.view(), "got:abc");
  com.CloseEcrPort();

  const Bytes release(RELEASE_REQUEST.begin(), RELEASE_REQUEST.end());
  ASSERT_TRUE(WaitUntil([&] { return Contains(ecr.Received(), release); }));
  ecr.Stop();
  const Bytes got = ecr.Received();
  EXPECT_TRUE(Contains(got, {0xFF, 0xFF, 0x11, 0x11, 0x30, 0x35}));
  EXPECT_TRUE(Contains(got, {0xFF, 0x0A, 'a', 'b', 'c', 0x0D, 0x3C, 0xDE}));  // one fill byte at 1200
  EXPECT_TRUE(Contains(got, {0xFF, 0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0x13, 0x13}));  // ACK, then release
}

}  // namespace
}  // namespace kassiro
