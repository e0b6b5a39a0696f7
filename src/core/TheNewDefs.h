// The shared records of the server: per-ECR and per-set session state, the answer
// window, the awaited driver result and the persistent settings record, together with
// the one session lock that guards them and the receipt and line numbering.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "core/KassiroConstants.h"
#include "util/OneBased.h"
#include "util/ShortStr.h"

namespace kassiro {

// One data set of one ECR.
struct TSetDescr {
  std::uint16_t OwnerID = 0;  // connection holding the set, 0 = free
  std::uint8_t Cop = NO_COP;  // operation queued or running
  std::uint8_t Phase = NO_PHASE;
  ShortStr FmAppBuff;         // client data not yet passed to the ECR
  bool WaitBlk2 = false;      // a result is parked until the ECR confirms it
  ShortStr WaitBlkBuff;       // the parked result text
  std::uint8_t WaitCOP = 0;   // its operation code
  // The holder the parked result is for; 0 once it has let go of the set, so that the
  // result then reaches the holder of the listening set alone, never a later holder.
  std::uint16_t WaitBlkFor = 0;
};

struct TEcr {
  OneBased<TSetDescr, SET_COUNT> Sets;
  std::uint8_t BlockNo = 0;    // number of the last on-line block
  std::uint8_t UserCount = 0;  // held main sets; polled exactly while above 0
  ShortStr LastBlockIn;        // last relayed report block, for the repeat check
  // The last holder of a report set, or of any main set, left: a report the ECR sends in
  // reply to the take under way is left unacknowledged, so the ECR keeps it.
  bool ReportHolderLeft = false;
  // When the session last recorded the ECR's mode (ERData's CurrMode); the clock's
  // epoch when it has not since the start. It gives the mode an age where no window
  // counts it down.
  std::chrono::steady_clock::time_point ModeSince{};
  // The reply of the take under way is a report acknowledged while a report set was held.
  // Its holders may all leave before it is handed on; it then waits in KeptReport.
  bool ReportAcked = false;
  // Such a report, as the message its holder would have had: the next client that takes
  // a report set of the ECR receives it after the answer to its request.
  ShortStr KeptReport;
};

using TEcrs = OneBased<TEcr, MAX_ECR_COUNT>;

// Who may answer the ECR now; both 0 = nobody.
struct TInSeans {
  std::uint8_t Ecr = 0;
  std::uint8_t St = 0;
};

// The one driver result the server waits for.
struct TWaitRes {
  std::uint8_t St = 0;  // 0 = nothing awaited
  std::uint8_t Cop = 0;
  std::uint8_t Ecr = 0;
  ShortStr Buff;
  bool WaitBlk = false;  // park the result when it is sent
  // The connection that asked for the result; 0 once it has let go of the set, so
  // that the result then goes to nobody (identifiers are reused by later clients).
  std::uint16_t ForID = 0;
};

// Persistent per-ECR data of the settings record.
struct TERData {
  std::int32_t Bon = 0;        // receipt number of this ECR, 0 = none yet
  std::uint16_t Line = 1;      // next line within that receipt
  std::int32_t SerNum = 0;     // the ECR's serial number
  std::uint8_t CurrMode = MD_OFF;
  std::uint8_t CurrTO = 0;
};

// The persistent settings record; stored byte for byte as TIniStruImage.
struct TIniStru {
  BasicShortStr<6> ComPortName = "COM1";
  std::uint16_t Speed = 4800;
  std::uint16_t IPPort = SRV_DEF_IP_PORT;
  BasicShortStr<PW_LEN> sPassword;
  std::int32_t GlobalBon = 1;
  OneBased<BasicShortStr<PW_LEN>, SET_COUNT> SetPW;
  OneBased<TERData, MAX_ECR_COUNT> ERData;
};

// The stored layout: 1353 bytes, packed, little-endian.
inline constexpr std::size_t INI_STRU_SIZE = 1353;
inline constexpr std::size_t ER_DATA_SIZE = 12;
using TIniStruImage = std::array<std::uint8_t, INI_STRU_SIZE>;

TIniStruImage EncodeIniStru(const TIniStru& ini);
TIniStru DecodeIniStru(const TIniStruImage& image);

// The shared records and the lock that guards them. Every client request, command
// routine and ECR event handler runs holding Lock, so each sees and leaves the records
// whole; nothing holds it while waiting on the serial line or on a socket.
struct Session {
  std::mutex Lock;
  std::unique_ptr<TEcrs> Ecrs = std::make_unique<TEcrs>();
  std::int32_t ServerStatus = 0;
  TInSeans InSeans;
  TWaitRes WaitRes;
  TIniStru IniStru;
  bool FSelfClose = false;

  // Called (under Lock) whenever a receipt number was drawn (GetBon, GetIncBon), after
  // Changes went up: the record must reach the disk before the number leaves the
  // server. The server wires it to the receipt flush, which stores the record with the
  // lock released and holds back the messages that carry the number until then; unset
  // means "do not save".
  std::function<void(const TIniStru&)> SaveSettings;
  // Counts the changes of IniStru that must be on disk before what depends on them
  // leaves the server: every draw of a receipt number, every store asked for.
  // BonChange[Ecr] is the count at that ECR's last draw.
  std::uint64_t Changes = 0;
  OneBased<std::uint64_t, MAX_ECR_COUNT> BonChange;

  // Called (under Lock) for every report of the report set, whether or not anybody holds
  // the set: keeps it in the report journal and returns its number there, which must be
  // on disk before the report leaves the server; 0, or unset, when there is no journal.
  std::function<std::uint64_t(std::uint8_t Ecr, std::uint8_t Event, const ShortStr& Msg)> RecordReport;
  // The journal's number of each ECR's last report: its messages wait for it as for a draw.
  OneBased<std::uint64_t, MAX_ECR_COUNT> JournalNeed;

  // Resets every ECR record, the answer window, the awaited result and ServerStatus;
  // IniStru stays as it is. A stop drops every client, so nothing awaited before it
  // can be delivered any more.
  void ClearStructures();
};

// Receipt and line numbering (Ecr 1..99). Callers hold Session::Lock.
std::int32_t GetBon(Session& s, int Ecr);
std::int32_t GetIncBon(Session& s, int Ecr);
std::uint16_t GetIncLine(Session& s, int Ecr);
std::uint16_t GetLine(Session& s, int Ecr);

// The ECR shows itself in a mode (MD_INLINE, ...): recorded with its display time-out
// DISP_TO and the moment. Callers hold Session::Lock.
void RecordMode(Session& s, int Ecr, std::uint8_t mode);

}  // namespace kassiro
