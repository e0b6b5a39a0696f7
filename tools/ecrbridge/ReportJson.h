// A report as the bridge publishes it: taken from the server's message (the ECR's block
// with the serial and block numbers first and the line and receipt numbers last), put
// under its topic and written as one JSON object. This file is the one place of the
// published format.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ecrbridge/Charset.h"

namespace kassiro::bridge {

struct TReport {
  std::uint8_t Ecr = 0;
  std::uint8_t Code = 0;           // the event code
  std::string Event;               // its name: "PLU_R"
  std::string Serial;              // the ECR's serial number as sent ("004703")
  std::optional<std::uint32_t> Block;
  std::vector<std::string> Fields;  // the ECR's data, UTF-8, each as sent
  std::optional<std::uint64_t> Line, Receipt;
  std::optional<std::uint64_t> Seq;  // its number in the server's report journal
  std::chrono::system_clock::time_point Received;
};

// True for the messages the bridge publishes: reports of the report set (the holder of
// the listening set gets them under the main set's code too).
bool IsReport(std::uint8_t st, std::uint8_t cop);

// Takes the text of a report message apart; a text cut short by the message's size
// limit keeps what it has and leaves out the numbers it lost.
TReport ReadReport(std::uint8_t ecr, std::uint8_t code, std::string_view text, const TCharset& charset,
                   std::chrono::system_clock::time_point received);

// "kassiro/<shop>/ecr/<n>/<event>"
std::string ReportTopic(std::string_view shop, const TReport& report);
// The bridge's own state, "online" or "offline", retained.
std::string StateTopic(std::string_view shop);
std::string ReportJson(std::string_view shop, const TReport& report);

// A shop id that can stand in a topic: not empty, no '/', '+', '#' or control characters.
bool ValidShopId(std::string_view shop);

}  // namespace kassiro::bridge
