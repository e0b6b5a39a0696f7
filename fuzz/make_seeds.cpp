// Writes the seed inputs of every fuzz target from the worked exchanges of the
// end-to-end tests, in the order each target reads its input:
//   make_seeds <corpus folder>   (one sub-folder per target)
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "FuzzInput.h"
#include "TempDir.h"
#include "../tests/e2e/Exchanges.h"
#include "core/SettingsFile.h"
#include "core/TheNewDefs.h"
#include "ecrlink/FrameCodec.h"
#include "ecrlink/ProtConst.h"

namespace {

using namespace kassiro;
using namespace kassiro::e2e;
using W = fuzz::TFuzzInputWriter;

std::filesystem::path gRoot;

void Seed(const char* target, const char* name, const W& w) {
  const auto dir = gRoot / target;
  std::filesystem::create_directories(dir);
  std::ofstream(dir / name, std::ios::binary) << w.Finish();
}

// The steps of the session harness (SessionHarness.h).
struct Steps {
  W w;
  Steps& Data(std::uint8_t id, std::string_view msg) { return w.Choice(1).Choice(id).Text(msg), *this; }
  Steps& Gone(std::uint8_t id) { return w.Choice(2).Choice(id), *this; }
  Steps& Turn(std::string_view reply) { return w.Choice(3).Choice(0).Text(reply), *this; }
  Steps& Line(std::uint8_t result = 0) { return w.Choice(4).Choice(result), *this; }
  Steps& Reply(std::string_view answer) { return w.Choice(4).Choice(0).Text(answer), *this; }
  Steps& Wait() { return w.Choice(4), *this; }  // an on-line wait that runs out
};

void IntakeSeeds() {
  Steps inl;
  inl.Data(1, kTakeRprlRequest).Data(2, kTakeRprRequest).Data(2, kInlineRequest)
      .Turn(kInlinePollAnswer).Line().Reply("0;").Data(2, kPhaseRprRequest)
      .Data(2, kReleaseRprRequest).Data(1, kReleaseRprlRequest);
  Seed("intake", "inline", inl.w);

  Steps inlErr;
  inlErr.Data(1, kTakeRprlRequest).Data(2, kTakeRprRequest).Data(2, kInlineRequest)
      .Turn(kInlinePollAnswer).Line().Reply("E5;").Data(2, kInlineRequest)
      .Turn(kInlinePollAnswer).Line(1).Data(2, kInlineRequest).Turn(kInlinePollAnswer).Gone(2);
  Seed("intake", "inline-errors", inlErr.w);

  Steps report;
  report.Data(1, kTakeErslRequest).Data(2, kTakeErsRequest).Turn(kReportBlock).Turn(kReportBlock)
      .Data(2, kPhaseErsRequest).Gone(2);
  Seed("intake", "report", report.w);

  Steps query;
  query.Data(1, kTakeEcplRequest).Data(2, kTakeEcpRequest).Turn(kQueryBlock).Data(2, kAnswerRequest)
      .Line().Turn("123456;6;9;4711;;12.50;").Wait().Data(2, kAnswerRequest)
      .Turn("123456;7;10;4711;;1.5;").Data(2, kForbidRequest).Wait();
  Seed("intake", "query-answer", query.w);

  Steps receipt;
  receipt.Data(1, kTakeReclRequest).Data(2, kTakeRecRequest).Data(2, kRecLoadRequest)
      .Turn(kReceiptRequestBlock).Line().Turn("000123;5;A;").Data(2, kRecCloseRequest)
      .Turn("000123;6;A;").Turn("000123;7;A;").Gone(1);
  Seed("intake", "receipt", receipt.w);

  Steps pcs;
  pcs.Data(1, kTakeReclRequest).Data(2, kTakePcsRequest).Data(2, kPcsLoadRequest)
      .Turn(kReceiptRequestBlock).Line().Turn(kReceiptRequestBlock).Gone(2);
  Seed("intake", "receipt-pcs", pcs.w);

  Steps intake;
  intake.Data(1, kUnknownSetWire.substr(1)).Data(1, "\x05").Data(1, "")
      .Data(3, kTakeRprBadPasswordRequest).Data(1, kTakeRprRequest).Data(3, kTakeRprRequest)
      .Gone(1).w.Choice(0).Choice(4);
  Seed("intake", "intake-errors", intake.w);
}

// The start of the on-line handler's input (fuzz_online.cpp): sets held, block number,
// receipt, line and global receipt numbers.
W OnlineStart(std::uint16_t held, std::int32_t bon) {
  W w;
  w.Number<std::uint16_t>(held).Choice(3).Number<std::int32_t>(bon).Number<std::uint16_t>(7)
      .Number<std::int32_t>(bon + 1);
  return w;
}

void OnlineSeeds() {
  constexpr std::uint16_t ALL = 0x3FFF;
  W report = OnlineStart(ALL, 120);
  report.Choice(0).Text(kReportBlock).Choice(0).Text(kReportBlock).Choice(0).Text("123456;5;2;;1234;");
  Seed("online", "report", report);

  W receipt = OnlineStart(ALL, 120);
  for (const char* sub : {"0", "1", "2", "3", "4", "5", "6", "7"}) {
    receipt.Choice(0).Text(std::string("123456;4;3;") + sub + ";1;2;3;4;5;10.00;;;;;;;;;5.00;");
  }
  Seed("online", "receipt-reports", receipt);

  W query = OnlineStart(ALL, 120);
  // ST_ECP (9) is held by client 1 + 9 mod 3 = 1.
  query.Choice(0).Text(kQueryBlock).Choice(1).Choice(0).Text(kAnswerRequest).Choice(2).Choice(0)
      .Choice(0).Text("123456;6;C;1;;-2.5;").Choice(2).Choice(0).Text("123456;7;4;1;2;3;");
  Seed("online", "queries", query);

  W rec = OnlineStart(ALL, 90);
  // ST_REC (13) is held by client 1 + 13 mod 3 = 2.
  rec.Choice(1).Choice(1).Text(kRecLoadRequest).Choice(0).Text(kReceiptRequestBlock).Choice(2)
      .Choice(0).Choice(0).Text("000123;5;5;1;2;").Choice(0).Text("000123;6;6;1;").Choice(0)
      .Text("000123;7;A;");
  Seed("online", "receipt-requests", rec);
}

std::string Frame(std::string_view payload) {
  const TFrameBuffer f = BuildFrame(payload, 0);
  return {reinterpret_cast<const char*>(f.bytes.data()), f.size};
}

void FrameSeeds() {
  // Speed 9600 (row 3); bytes arrive 5 ms after the step, 1 ms apart.
  auto arrive = [](W& w, std::string_view bytes, std::uint8_t pause = 5) {
    w.Choice(0).Choice(pause).Choice(1).Text(bytes);
  };
  W take;
  take.Choice(3);
  arrive(take, Frame(kInlinePollAnswer));
  take.Choice(1).Choice(2);
  arrive(take, "\x06", 30);
  take.Choice(3).Text(kInlineEcrReceives);
  arrive(take, Frame("0;"));
  take.Choice(2).Choice(200).Choice(4);
  Seed("frame", "inline", take);

  W online;
  online.Choice(3);
  std::string bad = Frame(kReportBlock);
  bad.back() = static_cast<char>(bad.back() ^ 0x5A);
  arrive(online, "\xFE\xFE\xFF\xFF" + bad);
  arrive(online, Frame(kReportBlock), 40);
  online.Choice(1).Choice(3);
  arrive(online, "\x15", 30);
  arrive(online, "\x06", 90);
  online.Choice(3).Text(kAnswerEcrReceives).Choice(4);
  Seed("frame", "online", online);

  W silent;
  silent.Choice(7).Choice(1).Choice(99).Choice(2).Choice(1).Choice(3).Text("X;");
  Seed("frame", "silent", silent);
}

void FieldSeeds() {
  for (auto [name, text] : {std::pair{"report", kReportBlock}, {"query", kQueryBlock},
                            {"answer", kAnswerEcrReceives}, {"receipt", kReceiptRequestBlock}}) {
    W w;
    w.Text(text).InRange(2, -1, 40);
    for (int i = 0; i < 5; ++i) w.Number<std::uint8_t>(static_cast<std::uint8_t>(i + 1));
    w.Text(",").Text(",").Text(".").Choice(2).Number<std::int64_t>(12345678).Number<std::uint8_t>('0')
        .Number<std::int64_t>(-42).InRange(2, -2, 300);
    Seed("fields", name, w);
  }
  W amount;
  amount.Text(" -12.5 ").InRange(1, -1, 40);
  for (int i = 0; i < 5; ++i) amount.Number<std::uint8_t>(0);
  amount.Text(".").Text(".").Text(".").Choice(4).Number<std::int64_t>(-1).Number<std::uint8_t>(',')
      .Number<std::int64_t>(0).InRange(0, -2, 300);
  Seed("fields", "amount", amount);
}

void SettingsSeeds() {
  TIniStru ini;
  ini.sPassword = "admin";
  for (int st = 1; st <= SET_COUNT; ++st) ini.SetPW[st] = "pw";
  ini.GlobalBon = 121;
  ini.ERData[3] = TERData{120, 7, 123456, MD_ONLINE, 3};
  const TIniStruImage image = EncodeIniStru(ini);
  const std::string bytes(image.begin(), image.end());
  Seed("settings", "record", W().Choice(0).Raw(bytes));

  testing::TempDir dir;
  {
    TSettingsFile file(dir / "seed.STG");
    file.Save(ini);
  }
  std::ifstream in(dir / "seed.STG", std::ios::binary);
  const std::string stored{std::istreambuf_iterator<char>(in), {}};
  Seed("settings", "file", W().Choice(1).Raw(stored));
  Seed("settings", "file-short", W().Choice(1).Raw(stored.substr(0, stored.size() / 2)));
}

void IniSeeds() {
  Seed("ini", "options", W().Text("Options").Text("LanguageID").Text("3")
                             .Raw("[Options]\r\nLanguageID=2\r\n"));
  Seed("ini", "other-sections", W().Text("options").Text("languageid").Text("")
                                    .Raw("; comment\n[Other]\nLanguageID=9\n\n[ Options ]\n  LanguageID = -4 \n"));
  Seed("ini", "empty", W().Text("Options").Text("LanguageID").Text("6").Raw(""));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds <corpus folder>\n");
    return 2;
  }
  gRoot = argv[1];
  IntakeSeeds();
  OnlineSeeds();
  FrameSeeds();
  FieldSeeds();
  SettingsSeeds();
  IniSeeds();
  return 0;
}
