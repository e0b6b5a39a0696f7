// The exact bytes of each kind of exchange, as the end-to-end tests send and receive
// them. Client messages are shown without their length byte: head ST COP ComPort
// EcrNo ErrC, then the text; on TCP each one is preceded by its length (Wire()).
// ECR frames are the payloads between 0A and 0D on the serial line.
//
// Every set's password is "pw" in these tests, and the code table is table 1, which
// passes digits, upper-case letters and punctuation unchanged both ways (lower-case
// letters in a client's text reach the ECR as upper case).
#pragma once

#include <string_view>

namespace kassiro::e2e {

using namespace std::string_view_literals;

// --- Taking and releasing a set: ST_RPR (5) and its listening set ST_RPRL (6), ECR 2.
inline constexpr auto kTakeRprlRequest = "\x06\x01\x00\x02\x00" "pw;"sv;
inline constexpr auto kTakeRprlAnswer = "\x06\x01\x00\x02\x00"sv;  // to the requester only
inline constexpr auto kTakeRprRequest = "\x05\x01\x00\x02\x00" "pw;"sv;
inline constexpr auto kTakeRprAnswer = "\x05\x01\x00\x02\x00"sv;  // to it and the holder of 6
inline constexpr auto kTakeRprBadPasswordRequest = "\x05\x01\x00\x02\x00" "PW;"sv;
inline constexpr auto kTakeRprBadPasswordAnswer = "\x05\x01\x00\x02\x08"sv;  // ERR_PASSWORD
inline constexpr auto kTakeRprTakenAnswer = "\x05\x01\x00\x02\x02"sv;        // ERR_TAKEN
inline constexpr auto kReleaseRprRequest = "\x05\x02\x00\x02\x00"sv;
inline constexpr auto kReleaseRprAnswer = "\x05\x02\x00\x02\x00"sv;
inline constexpr auto kReleaseRprlRequest = "\x06\x02\x00\x02\x00"sv;
inline constexpr auto kReleaseRprlAnswer = "\x06\x02\x00\x02\x00"sv;
inline constexpr auto kPhaseRprRequest = "\x05\x07\x00\x02\x00"sv;
inline constexpr auto kPhaseRprIdleAnswer = "\x05\x07\x00\x02\x00"sv;  // ErrC = phase 0

// --- In-line command: operation 4 with the text 12; queued on ST_RPR of ECR 2.
inline constexpr auto kInlineRequest = "\x05\x04\x00\x02\x00" "12;"sv;  // no answer at once
inline constexpr auto kInlinePollAnswer = "004711;"sv;  // ECR 2's answer to a take
inline constexpr auto kInlineEcrReceives = "R12;"sv;    // the command frame
inline constexpr auto kInlineResultOk = "\x05\x04\x00\x02\x00" "0;"sv;        // ECR replied 0;
inline constexpr auto kInlineResultEcrError = "\x05\x04\x00\x02\x0D" "E5;"sv;  // replied E5;
inline constexpr auto kInlineResultNak = "\x05\x04\x00\x02\x11" "12;"sv;       // ERR_NAK
inline constexpr auto kInlineResultTimeout = "\x05\x04\x00\x02\x0A" "12;"sv;   // ERR_TIMEOUT

// --- Report: ECR 3 (serial 123456, last block 3, line 7, receipt 120) reports a sale.
inline constexpr auto kTakeErslRequest = "\x02\x01\x00\x03\x00" "pw;"sv;
inline constexpr auto kTakeErslAnswer = "\x02\x01\x00\x03\x00"sv;
inline constexpr auto kTakeErsRequest = "\x01\x01\x00\x03\x00" "pw;"sv;
inline constexpr auto kTakeErsAnswer = "\x01\x01\x00\x03\x00"sv;
inline constexpr auto kReportBlock = "123456;4;0;A;B;"sv;  // the ECR's on-line block
inline constexpr auto kReportMessage = "\x01\x80\x00\x03\x00" "123456;4;A;B;7;120;"sv;  // PLU_R
inline constexpr auto kRepeatedReportLogLine = "Repeated block: 123456;4;A;B;"sv;
inline constexpr auto kPhaseErsRequest = "\x01\x07\x00\x03\x00"sv;
inline constexpr auto kPhaseErsIdleAnswer = "\x01\x07\x00\x03\x00"sv;

// --- Query and answer: ECR 3 asks for article 4711 (KPQ on ST_ECP 9), line 8.
inline constexpr auto kTakeEcplRequest = "\x0A\x01\x00\x03\x00" "pw;"sv;
inline constexpr auto kTakeEcplAnswer = "\x0A\x01\x00\x03\x00"sv;
inline constexpr auto kTakeEcpRequest = "\x09\x01\x00\x03\x00" "pw;"sv;
inline constexpr auto kTakeEcpAnswer = "\x09\x01\x00\x03\x00"sv;
inline constexpr auto kQueryBlock = "123456;5;8;4711;;12.50;"sv;  // the ECR's on-line block
inline constexpr auto kQueryMessage = "\x09\x80\x00\x03\x00" "123456;5;4711;0;1250;8;120;"sv;
inline constexpr auto kQueryAgainMessage = "\x09\x80\x00\x03\x00" "123456;5;4711;0;1250;9;120;"sv;
inline constexpr auto kAnswerRequest = "\x09\x04\x00\x03\x00" "4711;COLA;1.25;"sv;
inline constexpr auto kAnswerEcrReceives = "4711;COLA;1.25;"sv;
inline constexpr auto kAnswerResult = "\x09\x04\x00\x03\x00" "4711;COLA;1.25;"sv;  // after the ECR's ACK
inline constexpr auto kAnswerTooLate = "\x09\x04\x00\x03\x06"sv;                  // ERR_TOO_LATE
inline constexpr auto kForbidRequest = "\x09\x05\x00\x03\x00"sv;
inline constexpr auto kForbidAnswer = "\x09\x05\x00\x03\x00"sv;  // the ECR receives nothing

// --- Receipt step: operation 4 with 1;2; on ST_REC (13) of ECR 3 (serial 000123);
// the ECR's receipt request has block number 4, line 7, receipt 90.
inline constexpr auto kTakeReclRequest = "\x0E\x01\x00\x03\x00" "pw;"sv;
inline constexpr auto kTakeReclAnswer = "\x0E\x01\x00\x03\x00"sv;
inline constexpr auto kTakeRecRequest = "\x0D\x01\x00\x03\x00" "pw;"sv;
inline constexpr auto kTakeRecAnswer = "\x0D\x01\x00\x03\x00"sv;
inline constexpr auto kReceiptRequestBlock = "000123;4;A;"sv;  // the ECR's request
inline constexpr auto kRecLoadRequest = "\x0D\x04\x00\x03\x00" "1;2;"sv;  // no answer at once
inline constexpr auto kRecEcrReceives = "L;1;2;"sv;
inline constexpr auto kRecInterim = "\x0D\xA0\x00\x03\x00" "1;2;000123;4;7;90;"sv;  // SND_R
inline constexpr auto kRecFinal = "\x0D\x04\x00\x03\x00" "1;2;000123;4;7;90;"sv;    // next block 5
inline constexpr auto kRecFinalNotExecuted = "\x0D\x04\x00\x03\x16" "1;2;000123;4;7;90;"sv;  // 4 again

// The same step through ST_PCS (3), which holds set 13 as well: set code 3 in the head.
inline constexpr auto kTakePcsRequest = "\x03\x01\x00\x03\x00" "pw;"sv;
inline constexpr auto kTakePcsAnswer = "\x03\x01\x00\x03\x00"sv;
inline constexpr auto kPcsLoadRequest = "\x03\x04\x00\x03\x00" "1;2;"sv;
inline constexpr auto kPcsInterim = "\x03\xA0\x00\x03\x00" "1;2;000123;4;7;90;"sv;
inline constexpr auto kPcsFinal = "\x03\x04\x00\x03\x00" "1;2;000123;4;7;90;"sv;
inline constexpr auto kPcsFinalNotExecuted = "\x03\x04\x00\x03\x16" "1;2;000123;4;7;90;"sv;

// Closing the receipt (operation 6, empty text): the receipt number moves on.
inline constexpr auto kRecCloseRequest = "\x0D\x06\x00\x03\x00"sv;
inline constexpr auto kRecCloseEcrReceives = "E;0;;;;;"sv;
inline constexpr auto kRecCloseInterim = "\x0D\xA0\x00\x03\x00" "000123;4;7;90;"sv;

// --- Intake: framed bytes as they travel, length byte first.
inline constexpr auto kUnknownSetWire = "\x05\x10\x01\x02\x05\x00"sv;        // set 16
inline constexpr auto kUnknownSetAnswerWire = "\x05\x10\x01\x02\x05\x13"sv;  // ERR_UNKNOWN_SET

}  // namespace kassiro::e2e
