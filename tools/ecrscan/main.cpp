// ecrscan: takes every ECR number of a range in turn on a serial line and lists the
// ECRs that answer: their number, whether they are in-line or on-line, and their serial
// number. The line is released after every take.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "Version.h"
#include "ecrlink/ProtConst.h"
#include "ecrlink/SimpleComObject.h"
#include "util/BarDefs.h"
#include "util/ShortStr.h"
#include "util/WholeNumber.h"

namespace {

using namespace kassiro;

constexpr int EXIT_USAGE = 2;
constexpr std::size_t MaxInlineAnswer = 7;  // longer answers are on-line blocks

struct TRange {
  int From = 1;
  int To = 99;
};

// "FROM-TO" or a single number.
std::optional<TRange> ParseRange(const std::string& s) {
  const std::size_t dash = s.find('-');
  const auto from = WholeNumber<int>(std::string_view(s).substr(0, dash));
  const auto to = dash == std::string::npos ? from : WholeNumber<int>(std::string_view(s).substr(dash + 1));
  if (!from || !to || *from < 1 || *to > 99 || *from > *to) return std::nullopt;
  return TRange{*from, *to};
}

std::string SpeedList() {
  std::string list;
  for (const auto& w : SendWaitConsts) list += (list.empty() ? "" : ", ") + std::to_string(w.Speed);
  return list;
}

// "ECR 03 in-line serial 004711"
std::string Describe(int ecr, const ShortStr& block) {
  char head[32];
  std::snprintf(head, sizeof head, "ECR %02d %s serial ", ecr,
                block.size() <= MaxInlineAnswer ? "in-line" : "on-line");
  return head + GetParam(block, 1).str();
}

int Scan(TSimpleComObject& com, TRange range) {
  int found = 0;
  for (int ecr = range.From; ecr <= range.To; ++ecr) {
    ShortStr block;
    const std::int32_t res = com.TakeEcr(ecr, block);
    com.FreeEcr();
    if (res != RES_OK) continue;
    std::cout << Describe(ecr, block) << std::endl;
    ++found;
  }
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"ecrscan: lists the ECRs that answer on a serial line"};
  app.set_version_flag("--version", std::string("ecrscan ") + kassiro::VERSION_TEXT);
  std::string port;
  std::string speedText;
  std::string rangeText = "1-99";
  app.add_option("PORT", port, "Port name as the settings hold it (pts/7, COM1, ttyUSB0) or a device path")
      ->required();
  app.add_option("SPEED", speedText, "Line speed in baud: " + SpeedList())->required();
  app.add_option("RANGE", rangeText, "ECR numbers to take, FROM-TO within 1-99")->capture_default_str();
  CLI11_PARSE(app, argc, argv);

  const auto speed = WholeNumber<int>(speedText);
  if (!speed || GetSpeedIndex(*speed) < 0) {
    std::cerr << "ecrscan: speed '" << speedText << "' is not one of " << SpeedList() << '\n';
    return EXIT_USAGE;
  }
  const auto range = ParseRange(rangeText);
  if (!range) {
    std::cerr << "ecrscan: range '" << rangeText << "' is not FROM-TO with 1 <= FROM <= TO <= 99\n";
    return EXIT_USAGE;
  }

  TSimpleComObject com;
  com.SetLogSink([](std::string_view line) { std::cerr << "ecrscan: " << line << '\n'; });
  com.SetCommPortName(port);
  com.SetSpeed(*speed);
  try {
    com.OpenEcrPort();
    const int found = Scan(com, *range);
    com.CloseEcrPort();
    std::cout << "ecrscan: " << found << " ECR(s) answered on " << port << std::endl;
  } catch (const ECommError& e) {
    std::cerr << "ecrscan: " << e.what();
    if (e.SysError() != 0) std::cerr << " (" << std::strerror(e.SysError()) << ")";
    std::cerr << '\n';
    return 1;
  }
  return 0;
}
