// The server's vocabulary: limits, data-set, operation, error, mode and event codes.
// Every client message and every session routine speaks in these numbers.
#pragma once

#include <cstdint>

namespace kassiro {

// Limits.
inline constexpr int MAX_ECR_COUNT = 99;  // ECR numbers run 1..99
inline constexpr int MAX_ID = 500;        // client connection identifiers 1..500 (0 = nobody)
inline constexpr int SET_COUNT = 14;      // data-set codes 1..14
inline constexpr int COP_COUNT = 12;      // operation codes 1..12
inline constexpr int PW_LEN = 9;          // longest password in the settings
inline constexpr std::uint16_t SRV_DEF_IP_PORT = 4999;

// Data sets: odd codes are main sets, the even code after each is its listening set.
inline constexpr std::uint8_t NO_SET = 0;
inline constexpr std::uint8_t ST_ERS = 1;
inline constexpr std::uint8_t ST_ERSL = 2;
inline constexpr std::uint8_t ST_PCS = 3;
inline constexpr std::uint8_t ST_PCSL = 4;
inline constexpr std::uint8_t ST_RPR = 5;
inline constexpr std::uint8_t ST_RPRL = 6;
inline constexpr std::uint8_t ST_TPR = 7;
inline constexpr std::uint8_t ST_TPRL = 8;
inline constexpr std::uint8_t ST_ECP = 9;
inline constexpr std::uint8_t ST_ECPL = 10;
inline constexpr std::uint8_t ST_ESR = 11;
inline constexpr std::uint8_t ST_KSRL = 12;
inline constexpr std::uint8_t ST_REC = 13;
inline constexpr std::uint8_t ST_RECL = 14;

constexpr bool IsMainSet(int st) { return st >= 1 && st <= SET_COUNT && st % 2 == 1; }

// Operation codes; several names share a value, the set decides which applies.
inline constexpr std::uint8_t NO_COP = 0;
inline constexpr std::uint8_t COP_REQ = 1;
inline constexpr std::uint8_t COP_DISC = 2;
inline constexpr std::uint8_t COP_CANCEL = 3;
inline constexpr std::uint8_t COP_ANSWER = 4;
inline constexpr std::uint8_t COP_SELL = 4;
inline constexpr std::uint8_t COP_REPORT = 4;
inline constexpr std::uint8_t COP_FORBID = 5;
inline constexpr std::uint8_t COP_PRINT = 5;
inline constexpr std::uint8_t COP_WAIT = 6;
inline constexpr std::uint8_t COP_TOTAL = 6;
inline constexpr std::uint8_t COP_PAY = 6;
inline constexpr std::uint8_t COP_WRITE = 6;
inline constexpr std::uint8_t COP_PHASE = 7;
inline constexpr std::uint8_t COP_PERC = 8;
inline constexpr std::uint8_t COP_DISCOUNT = 8;
inline constexpr std::uint8_t COP_TABLE = 8;
inline constexpr std::uint8_t COP_RAPO = 9;
inline constexpr std::uint8_t COP_DFORBID = 9;
inline constexpr std::uint8_t COP_INFO = 9;
inline constexpr std::uint8_t COP_TAKE = 10;
inline constexpr std::uint8_t COP_DEL = 10;
inline constexpr std::uint8_t COP_FREE = 11;
inline constexpr std::uint8_t COP_CLEAR_EKL = 11;
inline constexpr std::uint8_t COP_NMBR = 12;

// Error codes: byte 5 of every answer to a client.
inline constexpr std::uint8_t ERR_NO_ERROR = 0;
inline constexpr std::uint8_t ERR_WRONG_MODE = 1;
inline constexpr std::uint8_t ERR_TAKEN = 2;
inline constexpr std::uint8_t ERR_BUSY = 3;
inline constexpr std::uint8_t ERR_NOT_YOURS = 4;
inline constexpr std::uint8_t ERR_SYNTAX = 5;
inline constexpr std::uint8_t ERR_TOO_LATE = 6;
inline constexpr std::uint8_t ERR_NO_REQUEST = 7;
inline constexpr std::uint8_t ERR_PASSWORD = 8;
inline constexpr std::uint8_t ERR_OVERRUN = 9;
inline constexpr std::uint8_t ERR_TIMEOUT = 10;
inline constexpr std::uint8_t ERR_TIMER = 11;
inline constexpr std::uint8_t ERR_SEANS = 12;
inline constexpr std::uint8_t ERR_ECR_ERROR = 13;
inline constexpr std::uint8_t ERR_UNKNOWN_COMMAND = 14;
inline constexpr std::uint8_t ERR_NO_ACK_NAK = 15;
inline constexpr std::uint8_t ERR_NO_BEG = 16;
inline constexpr std::uint8_t ERR_NAK = 17;
inline constexpr std::uint8_t ERR_BUFF_OVERFLOW = 18;
inline constexpr std::uint8_t ERR_UNKNOWN_SET = 19;
inline constexpr std::uint8_t ERR_ECRNO = 20;
inline constexpr std::uint8_t ERR_INVALID_BYTE = 21;
inline constexpr std::uint8_t ERR_NOT_EXECUTED = 22;
inline constexpr std::uint8_t ERR_UNKNOWN = 255;

// Phases of an operation on a set (TSetDescr::Phase).
inline constexpr std::uint8_t NO_PHASE = 0;
inline constexpr std::uint8_t NOT_SENDED = 101;     // queued, not yet passed to the ECR
inline constexpr std::uint8_t NOT_COMPLETED = 102;  // passed to the ECR, result awaited

// ECR modes and other small constants.
inline constexpr std::uint8_t MD_OFF = 0;
inline constexpr std::uint8_t MD_INLINE = 1;
inline constexpr std::uint8_t MD_ONLINE = 2;
inline constexpr std::uint8_t MD_PRN = 3;
inline constexpr std::uint8_t DISP_TO = 15;
inline constexpr int OFF_STATE = 0;
inline constexpr int ON_STATE = 1;
inline constexpr int POS_ECR_SERIAL_NUMER = 1;
inline constexpr int POS_BLOCK_NO = 2;
inline constexpr int POS_ECR_CMD = 3;
inline constexpr int PLU_IND = 3;
inline constexpr int BAR_IND = 3;
inline constexpr int PRICE_IND = 4;
inline constexpr int AMOUNT_IND = 5;
inline constexpr int PROC_IND = 5;
inline constexpr int PIN_IND = 5;

// Event codes: put into the operation byte of messages the server sends on its own.
inline constexpr std::uint8_t PLU_R = 0x80;
inline constexpr std::uint8_t KPQ = 0x80;
inline constexpr std::uint8_t KSR_Q = 0x80;
inline constexpr std::uint8_t PLU_Q = 0x81;
inline constexpr std::uint8_t RPQ = 0x81;
inline constexpr std::uint8_t PLU_C = 0x82;
inline constexpr std::uint8_t KDQ = 0x82;
inline constexpr std::uint8_t BAR_R = 0x83;
inline constexpr std::uint8_t RDQ = 0x83;
inline constexpr std::uint8_t BAR_Q = 0x84;
inline constexpr std::uint8_t BAR_C = 0x85;
inline constexpr std::uint8_t PER_R = 0x86;
inline constexpr std::uint8_t PBN_R = 0x87;
inline constexpr std::uint8_t TBN_R = 0x88;
inline constexpr std::uint8_t ORD_R = 0x89;
inline constexpr std::uint8_t PSM_R = 0x8A;
inline constexpr std::uint8_t TSM_R = 0x8B;
inline constexpr std::uint8_t PSO_R = 0x8C;
inline constexpr std::uint8_t TSO_R = 0x8D;
inline constexpr std::uint8_t ZTL_R = 0x8E;
inline constexpr std::uint8_t RPO_R = 0x8F;
inline constexpr std::uint8_t PERD_Q = 0x90;
inline constexpr std::uint8_t PERS_Q = 0x91;
inline constexpr std::uint8_t SND_R = 0xA0;

}  // namespace kassiro
