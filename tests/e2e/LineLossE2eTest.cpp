// The serial line going away, as when a USB adapter is pulled out, and coming back
// under the same name. The server's port is a link that the test points at a new
// pseudo-terminal, with the simulated ECRs on its far end, as udev does for an adapter
// plugged in again.
#include <filesystem>
#include <thread>

#include "E2eFixture.h"
#include "Exchanges.h"
#include "ServerInFolder.h"
#include "core/LogFile.h"

namespace kassiro::e2e {
namespace {

using Clock = std::chrono::steady_clock;

class LineLoss : public ::testing::Test {
 protected:
  void SetUp() override {
    BindProgramLog(ExePath());
    PlugIn();
    FServer = testing::StartServerInFolder(ExePath(), LinkPath().string(), LineSpeed, "pw");
    ASSERT_TRUE(FServer->Started());
  }
  void TearDown() override {
    FClients.clear();
    FServer.reset();
    FAdapter.reset();
  }

  std::filesystem::path ExePath() const { return FDir.path() / "kassirod"; }
  std::filesystem::path LinkPath() const { return FDir.path() / "ttyECR"; }

  // A new adapter under the link's name; the link is replaced in one step.
  void PlugIn() {
    FAdapter = std::make_unique<TSimAdapter>();
    const std::filesystem::path fresh = FDir.path() / "ttyECR.new";
    std::filesystem::create_symlink(FAdapter->Pty.SlavePath(), fresh);
    std::filesystem::rename(fresh, LinkPath());
  }
  void PullOut() { FAdapter.reset(); }

  TcpClient& Connect() {
    FClients.push_back(std::make_unique<TcpClient>(FServer->ListeningPort()));
    return *FClients.back();
  }
  static std::string Recv(TcpClient& c) {
    const auto msg = c.Next(Deadline);
    return msg ? Show(*msg) : std::string("(no message)");
  }
  void Request(TcpClient& c, std::string_view request, std::string_view answer) {
    ASSERT_TRUE(c.Send(request));
    EXPECT_EQ(Recv(c), Show(answer)) << "answer to " << Show(request);
  }
  bool WaitForPhase(std::uint8_t st, std::uint8_t phase) {
    const auto until = Clock::now() + Deadline;
    for (;;) {
      {
        std::lock_guard lock(FServer->GetSession().Lock);
        if (SetOf(FServer->GetSession(), 2, st).Phase == phase) return true;
      }
      if (Clock::now() > until) return false;
      std::this_thread::sleep_for(5ms);  // the records have no notification: look again
    }
  }
  std::size_t LogLines(std::string_view text) const {
    const std::string log = testing::ReadFile(FDir.path() / "kassirod.log");
    std::size_t n = 0;
    for (std::size_t p = log.find(text); p != std::string::npos; p = log.find(text, p + 1)) ++n;
    return n;
  }

  TempDir FDir;
  std::unique_ptr<TSimAdapter> FAdapter;
  std::unique_ptr<TKassiroServer> FServer;
  std::vector<std::unique_ptr<TcpClient>> FClients;
};

TEST_F(LineLoss, PendingWorkFailsBackAndPollingResumesWhenTheAdapterReturns) {
  TcpClient& client = Connect();
  Request(client, kTakeRprRequest, kTakeRprAnswer);
  Request(client, Msg(ST_REC, COP_REQ, 2, 0, "pw;"), Msg(ST_REC, COP_REQ, 2, 0));
  ASSERT_TRUE(FAdapter->Heard.WaitForCount("take 02", 2));
  // A receipt step waits for the ECR to ask for it.
  ASSERT_TRUE(client.Send(Msg(ST_REC, 4, 2, 0, "1;2;")));
  ASSERT_TRUE(WaitForPhase(ST_REC, NOT_SENDED));

  PullOut();
  // What waited for the line comes back with the error a time-out gives.
  EXPECT_EQ(Recv(client), Show(Msg(ST_REC, 4, 2, ERR_TIMEOUT, "1;2;")));
  // So does a command given while the line is away.
  ASSERT_TRUE(client.Send(Msg(ST_RPR, 4, 2, 0, "12;")));
  EXPECT_EQ(Recv(client), Show(Msg(ST_RPR, 4, 2, ERR_TIMEOUT, "12;")));

  const auto back = Clock::now();
  PlugIn();
  ASSERT_TRUE(FAdapter->Heard.WaitForCount("take 02", 1));
  EXPECT_LT(Clock::now() - back, 3s) << "the same ECR is polled again within 3 s";
  // The same connection goes on: its command reaches the ECR and the reply comes back.
  ASSERT_TRUE(client.Send(Msg(ST_RPR, 4, 2, 0, "34;")));
  EXPECT_EQ(Recv(client), Show(Msg(ST_RPR, 4, 2, 0, "0;")));

  const std::string port = LinkPath().string();
  EXPECT_EQ(LogLines("Port " + port + " lost: "), 1u);
  EXPECT_EQ(LogLines("Port " + port + " open again"), 1u);
}

}  // namespace
}  // namespace kassiro::e2e
