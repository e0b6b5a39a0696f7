// The server's side of the client protocol: the intake that checks each client message
// and hands it to its command routine, the release of everything a client held when
// it goes, and the small shared operations through which the session logic answers
// clients and keeps its per-ECR bookkeeping.
//
// Locking: every routine here is called with Session::Lock already held by the
// caller (the server's event wiring takes it around each client event and each ECR
// event). No routine takes the lock itself and none waits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/NewSrvConst.h"
#include "core/SessionLinks.h"
#include "core/TheNewDefs.h"
#include "platform/UserLocale.h"
#include "util/BarDefs.h"
#include "util/ShortStr.h"

namespace kassiro {

// What the session routines work with: the shared records, the clients' side (the
// TCP server) and the ECR side (the polling thread). Locale is the user's locale for
// the numbers that clients and ECRs send with a local decimal separator.
struct TSessionEnv {
  Session& S;
  TClientLink& IPSrv;
  TPollLink& NC;
  const TUserLocale& Locale = platform::UserLocale();
};

// The common signature of the command routines reached through APP_COMM.
// RBuff is the message text after the five head bytes; ErrC is always 0.
using TAppComm = void (*)(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ST,
                          std::uint8_t COP, std::uint8_t Ecr, std::uint8_t ErrC,
                          const ShortStr& RBuff);

// The routine for each name of APP_COMM, indexed by TAppRoutine; None stays empty.
inline constexpr std::size_t APP_ROUTINE_COUNT =
    static_cast<std::size_t>(TAppRoutine::AC_Phase) + 1;
using TAppCommTable = std::array<TAppComm, APP_ROUTINE_COUNT>;
constexpr std::size_t AppRoutineIndex(TAppRoutine r) { return static_cast<std::size_t>(r); }

// Length of the message head: ST, COP, ComPort, EcrNo, ErrC.
inline constexpr std::size_t MSG_HEAD_SIZE = 5;

// The session records of one ECR (1..99) and of one of its sets (1..14).
inline TEcr& EcrOf(Session& S, int Ecr) { return (*S.Ecrs)[static_cast<std::size_t>(Ecr)]; }
inline TSetDescr& SetOf(Session& S, int Ecr, int St) {
  return EcrOf(S, Ecr).Sets[static_cast<std::size_t>(St)];
}

// Client events of the TCP server.
void HandleOnConnect(const TSessionEnv& env, std::uint16_t ID);
// Checks the head of one client message and calls its routine from AppComm (the
// session library's APP_COMM_ROUTINES) or answers the error itself.
void HandleOnDataIn(const TSessionEnv& env, const TAppCommTable& AppComm, std::uint16_t ID,
                    const ShortStr& Data);
// Frees every set that ID held.
void HandleOnDisconnect(const TSessionEnv& env, std::uint16_t ID);

// Sends Data to ID; nothing for ID 0 (nobody).
void ValidSend(TClientLink& IPSrv, std::uint16_t ID, const ShortStr& Data);

// Records the one driver result to deliver later (WaitBlk cleared), for the client
// that holds set St of the ECR now: the one that asked for it.
void WaitDriverResult(Session& S, std::uint8_t St, std::uint8_t Cop, std::uint8_t Ecr,
                      const ShortStr& Buff);
// Consumes the pending driver result, if any, and frees its set's operation. While the
// client that asked for it still holds the set, the result goes with error ErrC to it
// and to the holder of the listening set; a result marked WaitBlk is parked in its set
// first and the message then carries WaitBlkCOP. Otherwise it goes to nobody.
void SendDriverResult(Session& S, TClientLink& IPSrv, std::uint8_t ErrC, std::uint8_t WaitBlkCOP);
// A client lets go of set St of the ECR: its parked result will reach the holder of the
// listening set alone, and a result it still awaits from the ECR will go to nobody (the
// set stays busy until the ECR is done).
void LetGoOfResults(Session& S, std::uint8_t Ecr, std::uint8_t St);

// Set St of the ECR was let go of: once neither report set is held any more, a report
// that the take under way brings is left for the ECR to keep (TEcr::ReportHolderLeft).
void ReportSetLetGo(Session& S, std::uint8_t Ecr, std::uint8_t St);

// Opens / closes the answer window (who may answer the ECR now).
void AllowAnswer(Session& S, std::uint8_t Ecr, std::uint8_t St);
void ForbidAnswer(Session& S);

// One user more / less of an ECR; the ECR is polled while it has users. The last user
// gone, the ECR's take under way keeps its report, and an on-line request of the ECR
// that waits for an answer nobody can give any more is ended at once.
void AddEcr(Session& S, TPollLink& NC, std::uint8_t Ecr);
void RemoveEcr(Session& S, TPollLink& NC, std::uint8_t Ecr);

// True (and logged) when Bf equals the ECR's last on-line block; otherwise Bf becomes
// that block.
bool RepeatedReport(Session& S, std::uint8_t Ecr, const ShortStr& Bf);

}  // namespace kassiro
