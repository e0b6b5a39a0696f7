#include "server/KassiroServer.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <mutex>

#include "core/IniFile.h"
#include "core/LogFile.h"
#include "ecrlink/SimpleComObject.h"
#include "platform/ProgramVersion.h"
#include "platform/UserLocale.h"
#include "session/AppCommands.h"
#include "session/InlineExchange.h"
#include "session/LineDown.h"
#include "session/OnlineAnswers.h"
#include "session/OnlineHandling.h"
#include "util/LangTbl.h"

namespace kassiro {

namespace {

// Where a damaged Listen or Allow setting leaves the TCP server.
constexpr std::string_view LOOPBACK_LISTEN = "127.0.0.1";
constexpr std::string_view LOOPBACK_ALLOW = "127.0.0.0/8,::1";

// Stands in for the polling thread while the server is stopped, so a client event
// that races with a stop never reaches a thread that is gone.
class TNoPollLink final : public TPollLink {
 public:
  void AddEcr(int) override {}
  void RemoveEcr(int) override {}
  void NoiseOn() override {}
  void NoiseOff() override {}
  void Next() override {}
  void SendInlBlock(const ShortStr&) override {}
  void SendOnlBlock(const ShortStr&) override {}
};

std::filesystem::path Beside(std::filesystem::path exe, const char* ext) {
  return exe.replace_extension(ext);
}

// For the operator on stderr and in the log.
void Tell(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  LogAddLine(text);
}

std::unique_ptr<TBasicCommunicationObject> DefaultComm(const std::string&, int) {
  return std::make_unique<TSimpleComObject>();
}

}  // namespace

std::string ApplicationTitle() {
  const std::array<int, 4> v = platform::ExecutableVersion().value_or(std::array<int, 4>{});
  char title[96];
  std::snprintf(title, sizeof title, "%s v%d.%d.%d.%d - DEBUG", APP_NAME, v[0], v[1], v[2], v[3]);
  return title;
}

TKassiroServer::TKassiroServer(const std::filesystem::path& exePath, TCommObjectFactory makeComm)
    : FExePath(exePath),
      FMakeComm(makeComm ? std::move(makeComm) : DefaultComm),
      FTitle(ApplicationTitle()),
      FServerInis(Beside(exePath, ".STG")),
      FNoPoll(std::make_unique<TNoPollLink>()),
      FFlush(FSession, IPServer, [this](const TIniStru& ini) { return FServerInis.Save(ini); }) {
  // Stored with the session lock released; the messages with the number wait for it,
  // so no restart hands it out again.
  FSession.SaveSettings = [this](const TIniStru&) { FFlush.Changed(); };
  LoadFromIniFile();
  WireTcpEvents();
}

TKassiroServer::~TKassiroServer() { StopKassiro(); }

TSessionEnv TKassiroServer::Env() {
  return TSessionEnv{FSession, FFlush, PolObject ? static_cast<TPollLink&>(*PolObject) : *FNoPoll};
}

void TKassiroServer::WireTcpEvents() {
  IPServer.OnConnect = [this](TSockServer&, std::uint16_t id) {
    std::lock_guard lock(FSession.Lock);
    HandleOnConnect(Env(), id);
  };
  IPServer.OnDataIn = [this](TSockServer&, std::uint16_t id, const ShortStr& data) {
    std::lock_guard lock(FSession.Lock);
    HandleOnDataIn(Env(), APP_COMM_ROUTINES, id, data);
  };
  IPServer.OnDisconnect = [this](TSockServer&, std::uint16_t id) {
    std::lock_guard lock(FSession.Lock);
    HandleOnDisconnect(Env(), id);
    FFlush.Forget(id);  // after: nothing held for it may reach a later client of the same id
  };
  // The TCP server logs its own failures (OnError stays free), with their causes.
}

void TKassiroServer::WirePollEvents(TPolThread& pol) {
  auto locked = [this](auto handler) {
    return [this, handler](auto&&... args) {
      std::lock_guard lock(FSession.Lock);
      handler(Env(), std::forward<decltype(args)>(args)...);
    };
  };
  pol.SetOnEcrInLine(locked([](const TSessionEnv& env, TPolThread&, std::int32_t ecr,
                               const ShortStr& blk, std::uint8_t err) {
    HandleEcrInline(env, static_cast<std::uint8_t>(ecr), err, blk);
  }));
  pol.SetOnInlSended(locked([](const TSessionEnv& env, TPolThread&, std::int32_t ecr, std::uint8_t err) {
    HandleInlSended(env, static_cast<std::uint8_t>(ecr), err);
  }));
  pol.SetOnInlReceived(locked([](const TSessionEnv& env, TPolThread&, std::int32_t ecr,
                                 const ShortStr& blk, std::uint8_t err) {
    HandleInlReceived(env, static_cast<std::uint8_t>(ecr), err, blk);
  }));
  pol.SetOnOnlSended(locked([](const TSessionEnv& env, TPolThread&, std::int32_t ecr, std::uint8_t err) {
    HandleOnlSended(env, static_cast<std::uint8_t>(ecr), err);
  }));
  pol.SetOnOnlReceived(locked([](const TSessionEnv& env, TPolThread&, std::int32_t ecr,
                                 const ShortStr& blk, std::uint8_t err) {
    HandleOnlReceived(env, static_cast<std::uint8_t>(ecr), err, blk);
  }));
  // A silent ECR is skipped for this round.
  pol.SetOnTakeError(locked([](const TSessionEnv& env, TPolThread&, std::int32_t ecr,
                               std::uint8_t err, std::int32_t) {
    HandleTakeError(env, static_cast<std::uint8_t>(ecr), err);
  }));
  pol.SetOnTakeReply([this](TPolThread&, std::int32_t ecr, const ShortStr& blk) {
    std::lock_guard lock(FSession.Lock);
    return MayAcknowledgeReply(Env(), static_cast<std::uint8_t>(ecr), blk);
  });
  pol.SetOnSendReqTimeOutError(locked([](const TSessionEnv& env, TPolThread&, std::int32_t ecr,
                                         std::uint8_t err, std::int32_t) {
    HandleSendReqTimeOut(env, static_cast<std::uint8_t>(ecr), err);
  }));
  pol.SetOnLineDown(locked([](const TSessionEnv& env, TPolThread&) { HandleLineDown(env); }));
}

void TKassiroServer::LoadFromIniFile() {
  const std::filesystem::path ini = Beside(FExePath, ".INI");
  std::string problem;
  FLanguageID = ReadLanguageID(ini, platform::GetLocalLanguageID(), &problem);
  if (!problem.empty()) {
    Tell("The INI file " + ini.string() + " is not read: " + problem + "; the default code table is used.");
  }
  // A number outside the six tables falls back to the default table.
  if (FLanguageID < 1 || FLanguageID > LANG_COUNT) FLanguageID = DEFAULT_CODETABLE;
  FListenSetting = ReadIniString(ini, INI_OPTIONS_SECTION, INI_LISTEN_KEY).value_or("");
  FAllowSetting = ReadIniString(ini, INI_OPTIONS_SECTION, INI_ALLOW_KEY).value_or("");
  FTcpAccessSet = false;
  const auto days = ParseIniInteger(ReadIniString(ini, INI_OPTIONS_SECTION, INI_JOURNAL_KEY).value_or(""));
  FJournalDays = days && *days > 0 ? std::min(*days, JOURNAL_MAX_DAYS) : 0;
  FJournalSet = false;
  FIniUnread = !problem.empty();
}

void TKassiroServer::SaveToIniFile() {
  const std::filesystem::path ini = Beside(FExePath, ".INI");
  std::string problem;
  if (!WriteLanguageID(ini, FLanguageID, &problem)) {
    Tell("The INI file " + ini.string() + " cannot be written: " + problem);
  }
  if (FJournalSet && !WriteIniString(ini, INI_OPTIONS_SECTION, INI_JOURNAL_KEY, std::to_string(FJournalDays), &problem))
    Tell("The INI file " + ini.string() + " cannot be written: " + problem);
  if (!FTcpAccessSet) return;
  for (const auto& [key, value] : {std::pair{INI_LISTEN_KEY, &FListenSetting}, std::pair{INI_ALLOW_KEY, &FAllowSetting}}) {
    if (!WriteIniString(ini, INI_OPTIONS_SECTION, key, *value, &problem))
      Tell("The INI file " + ini.string() + " cannot be written: " + problem);
  }
}

void TKassiroServer::SetListenSetting(std::string text) {
  FListenSetting = std::move(text);
  FTcpAccessSet = true;
}

void TKassiroServer::SetJournalDays(int days) {
  FJournalDays = days;
  FJournalSet = true;
}

std::optional<TReportJournal::TState> TKassiroServer::JournalState() const {
  if (!FReportJournal) return std::nullopt;
  return FReportJournal->State();
}

// A journal that cannot be opened is said, and the server runs without it.
void TKassiroServer::OpenReportJournal() {
  if (FJournalDays <= 0) return;
  TReportJournal::TOptions options;
  options.Dir = JournalDir();
  options.Days = FJournalDays;
  options.Log = [](const std::string& line) { LogAddLine(line); };
  options.OnStored = [this](std::uint64_t seq) {
    std::lock_guard lock(FSession.Lock);
    FFlush.JournalStored(seq);
  };
  auto opened = TReportJournal::Open(std::move(options));
  if (auto* error = std::get_if<std::string>(&opened)) {
    Tell("Reports are not journaled: " + *error);
    return;
  }
  FReportJournal = std::move(std::get<std::unique_ptr<TReportJournal>>(opened));
  std::lock_guard lock(FSession.Lock);
  FSession.RecordReport = [j = FReportJournal.get()](std::uint8_t ecr, std::uint8_t event, const ShortStr& msg) {
    return j->Append(ecr, event, msg.view());
  };
}

// After the polling thread ended: nothing appends any more.
void TKassiroServer::CloseReportJournal() {
  if (!FReportJournal) return;
  {
    std::lock_guard lock(FSession.Lock);
    FSession.RecordReport = nullptr;
  }
  FReportJournal->Settle();
  FReportJournal.reset();
}

void TKassiroServer::SetAllowSetting(std::string text) {
  FAllowSetting = std::move(text);
  FTcpAccessSet = true;
}

// A setting that someone wrote to close the door must not open it when it is damaged:
// the server then serves the programs of this PC only, and the log says why.
void TKassiroServer::ApplyTcpAccess() {
  if (FIniUnread) {
    LogAddLine("TCP server: Listen and Allow of the unread INI file are not known; listening on " +
               std::string(LOOPBACK_LISTEN) + " and letting in " + std::string(LOOPBACK_ALLOW) + " only");
    IPServer.SetListenAddress(ParseIpAddress(LOOPBACK_LISTEN));
    IPServer.SetAllowList(*TAllowList::Parse(LOOPBACK_ALLOW).Value);
    return;
  }
  const auto listen = ParseListenAddress(FListenSetting);
  IPServer.SetListenAddress(listen.Value ? *listen.Value : ParseIpAddress(LOOPBACK_LISTEN));
  if (!listen.Value)
    LogAddLine("TCP server: Listen in the INI file refused, " + listen.Error + "; listening on " +
               std::string(LOOPBACK_LISTEN) + " only");
  auto allow = TAllowList::Parse(FAllowSetting);
  if (!allow.Value)
    LogAddLine("TCP server: Allow in the INI file refused, " + allow.Error + "; letting in " +
               std::string(LOOPBACK_ALLOW) + " only");
  IPServer.SetAllowList(allow.Value ? std::move(*allow.Value) : *TAllowList::Parse(LOOPBACK_ALLOW).Value);
}

std::string TKassiroServer::ListenAddress() const {
  const auto& a = IPServer.ListenAddress();
  return a ? IpText(*a) : std::string();
}

void TKassiroServer::StartKassiro() {
  if (FServerStatred) return;
  std::string port;
  int speed = 0;
  {
    std::lock_guard lock(FSession.Lock);
    LoadFromIniFile();
    FServerInis.Load(FSession.IniStru);
    IPServer.SetLocalPort(FSession.IniStru.IPPort);
    port = FPortOverride.empty() ? FSession.IniStru.ComPortName.str() : FPortOverride;
    speed = FSession.IniStru.Speed;
  }
  ApplyTcpAccess();
  OpenReportJournal();
  IPServer.Enable();  // a failure is logged through OnError; the start goes on
  CommObject = FMakeComm(port, speed);
  CommObject->SetCommPortName(port);
  CommObject->SetSpeed(speed);
  CommObject->SetLineStats(&FLineStats);
  CommObject->SetLineTrace(&FLineTrace);
  auto pol = std::make_unique<TPolThread>();
  pol->SetCommunicationObject(CommObject.get());
  pol->SetLineStats(&FLineStats);
  WirePollEvents(*pol);
  pol->FillTranTbl(LangTable(FLanguageID));
  pol->NoiseOff();
  try {
    CommObject->OpenEcrPort();
  } catch (...) {
    pol.reset();
    RollBackStart();
    throw;
  }
  {
    std::lock_guard lock(FSession.Lock);
    PolObject = std::move(pol);
    PrimePollThread();
  }
  PolObject->Resume();
  FServerStatred = true;
}

// The TCP port listens before the line is open: clients that took main sets in the
// meantime reached no polling thread, so the new thread starts with their ECRs. It
// also starts knowing every ECR's serial number as the settings record keeps it.
void TKassiroServer::PrimePollThread() {
  for (int ecr = 1; ecr <= MAX_ECR_COUNT; ++ecr) {
    PolObject->KnowSerial(ecr, FSession.IniStru.ERData[ecr].SerNum);
    if ((*FSession.Ecrs)[ecr].UserCount > 0) PolObject->AddEcr(ecr);
  }
  if (FSession.ServerStatus != 0) PolObject->NoiseOn();
}

// A start that failed at the serial port goes back to the stopped state.
void TKassiroServer::RollBackStart() {
  CloseReportJournal();
  CommObject.reset();
  IPServer.Disable();
  std::lock_guard lock(FSession.Lock);
  FSession.ClearStructures();
}

void TKassiroServer::StopKassiro() {
  if (!FServerStatred) return;
  std::unique_ptr<TPolThread> pol;
  {
    std::lock_guard lock(FSession.Lock);
    pol = std::move(PolObject);
  }
  pol.reset();  // ends the thread (its handlers may still take the lock) and closes the port
  CloseReportJournal();  // its last records on disk, so their reports may go
  FFlush.Settle();  // the last numbers on disk and their messages out before the clients go
  CommObject.reset();
  IPServer.Disable();
  {
    std::lock_guard lock(FSession.Lock);
    FSession.ClearStructures();
  }
  FServerStatred = false;
}

void TKassiroServer::CloseByUser() {
  FFlush.StoreNow();  // through the flush, so no older record it still writes comes after
  StopKassiro();
  LogAddLine(FTitle + " closed by user.");
}

bool TKassiroServer::ProcessSelfMessage(std::int32_t ID, const ShortStr& Txt, bool LoopBack) {
  if (LoopBack || ID != SM_QUIT) return false;
  std::lock_guard lock(FSession.Lock);
  FSession.FSelfClose = Txt == FSession.IniStru.sPassword.view();
  return FSession.FSelfClose;
}

std::uint16_t TKassiroServer::ListeningPort() const { return IPServer.BoundPort(); }

int TKassiroServer::LineSpeed() const { return CommObject ? CommObject->Speed() : 0; }

std::filesystem::path TKassiroServer::FileBeside(const char* ext) const { return Beside(FExePath, ext); }

std::string TKassiroServer::PortName() const {
  return CommObject ? CommObject->CommPortName() : std::string();
}

}  // namespace kassiro
