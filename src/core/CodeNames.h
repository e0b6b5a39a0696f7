// Names of the server's codes, for people: the command-line client, the demo's
// transcript and log lines print messages decoded with these.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kassiro {

std::string_view SetName(std::uint8_t st);        // "ST_RPR"; empty when unknown
std::string_view ErrorName(std::uint8_t err);     // "ERR_TAKEN"; empty when unknown
// All names of an operation code, joined by '/': "COP_ANSWER/COP_SELL/COP_REPORT".
std::string OperationName(std::uint8_t cop);
// The phase that an AC_Phase answer carries in its error byte: "NOT_SENDED".
std::string_view PhaseName(std::uint8_t phase);
// The name of an event code in the messages of set st: "PLU_R", "KPQ", "SND_R"; empty when none.
std::string_view EventName(std::uint8_t st, std::uint8_t code);

// Reverse look-ups for people who type names: "ST_RPR" or "RPR" or "5"; "COP_REQ", "REQ" or "1".
std::optional<std::uint8_t> ParseSet(std::string_view text);
std::optional<std::uint8_t> ParseOperation(std::string_view text);

}  // namespace kassiro
