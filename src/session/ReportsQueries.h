// Reports and queries that an ECR raises on-line, delivered to the clients that hold
// the report or query set and its listening set.
//
// Locking: both routines are called with Session::Lock already held (they run inside
// the on-line handler); neither takes the lock itself nor waits.
#pragma once

#include <cstdint>

#include "session/NewSrvProcs.h"
#include "util/ShortStr.h"

namespace kassiro {

// Forwards a report under event code Evnt to the holders of sets ST and ST + 1. A report
// the ECR was told was taken for a holder (TEcr::ReportAcked) whose holders have all left
// since is kept instead for the next client that takes a report set of the ECR. Every
// report goes to the report journal first (Session::RecordReport), held or not.
void ECRReport(const TSessionEnv& env, std::uint8_t ST, std::uint8_t Evnt, std::uint8_t ECR,
               const ShortStr& RBuff);

// Gives ID, which has just taken a report set of the ECR, the report kept for it, if any.
void HandOnKeptReport(const TSessionEnv& env, std::uint16_t ID, std::uint8_t ECR);

// Forwards a query with the ECR's line and receipt numbers appended, leaving the answer
// window open; with nobody holding set ST it closes the window and ends the ECR's turn.
void ECRQuery(const TSessionEnv& env, std::uint8_t ST, std::uint8_t Evnt, std::uint8_t ECR,
              const ShortStr& RBuff);

}  // namespace kassiro
