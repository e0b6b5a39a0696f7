// Clients quicker than the server's start: the TCP port listens before the serial line
// is open, so a client may take its sets while the polling thread is still being made.
#include <future>
#include <thread>

#include "E2eFixture.h"
#include "Exchanges.h"
#include "ServerInFolder.h"
#include "core/LogFile.h"
#include "ecrlink/SimpleComObject.h"

namespace kassiro::e2e {
namespace {

// The real serial object, whose opening of the line waits until the test lets it go on.
class TGatedComm final : public TBasicCommunicationObject {
 public:
  TGatedComm(std::promise<void>& opening, std::shared_future<void> go)
      : FOpening(opening), FGo(std::move(go)) {}

  void OpenEcrPort() override {
    FInner.SetCommPortName(CommPortName());
    FInner.SetSpeed(Speed());
    FOpening.set_value();
    FGo.wait();
    FInner.OpenEcrPort();
  }
  void CloseEcrPort() override { FInner.CloseEcrPort(); }
  void NoiseOn() override { FInner.NoiseOn(); }
  void NoiseOff() override { FInner.NoiseOff(); }
  std::int32_t TakeEcr(std::int32_t Ecr, ShortStr& Block) override { return FInner.TakeEcr(Ecr, Block); }
  void FreeEcr() override { FInner.FreeEcr(); }
  std::int32_t SendBlock(ShortStr Block) override { return FInner.SendBlock(Block); }
  std::int32_t GetBlock(ShortStr& Block, std::uint32_t BegTimeOut) override {
    return FInner.GetBlock(Block, BegTimeOut);
  }
  void Abort() override { FInner.Abort(); }
  bool LineLost() const override { return FInner.LineLost(); }
  bool ReopenEcrPort() override { return FInner.ReopenEcrPort(); }

 private:
  std::promise<void>& FOpening;
  std::shared_future<void> FGo;
  TSimpleComObject FInner;
};

TEST(ServerStart, AMainSetTakenWhileTheLineIsBeingOpenedIsPolled) {
  TempDir dir;
  const auto exe = dir.path() / "kassirod";
  BindProgramLog(exe);
  TSimAdapter adapter;
  std::promise<void> opening, go;
  auto server = testing::MakeServerInFolder(
      exe, adapter.Pty.SlavePath(), LineSpeed, "pw", {},
      [&](const std::string&, int) { return std::make_unique<TGatedComm>(opening, go.get_future().share()); });
  std::thread start([&] { server->StartKassiro(); });
  opening.get_future().wait();  // the TCP port listens; the line is not open yet

  TcpClient client(server->ListeningPort());
  ASSERT_TRUE(client.Send(kTakeRprRequest));
  const auto answer = client.Next(Deadline);
  go.set_value();
  start.join();
  ASSERT_TRUE(answer);
  EXPECT_EQ(Show(*answer), Show(kTakeRprAnswer));
  ASSERT_TRUE(server->Started());
  EXPECT_TRUE(adapter.Heard.WaitForCount("take 02", 1)) << "the ECR of the held set is polled";
  server.reset();
}

}  // namespace
}  // namespace kassiro::e2e
