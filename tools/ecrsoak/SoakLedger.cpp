#include "ecrsoak/SoakLedger.h"

#include <algorithm>
#include <cstdio>

#include "core/KassiroConstants.h"
#include "util/WholeNumber.h"

namespace kassiro::soak {

Millis NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string SerialOf(int ecr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0047%02d", ecr);
  return buf;
}

namespace {

// Reports of every kind the server knows, one of them sent twice under one block number
// (the server forwards it once), and two that finish the receipt.
constexpr const char* REPORT_BLOCKS[] = {
    R"(online "{serial};{block};0;N{seq};PLU;1.00;")",
    R"(online "{serial};{block};B;N{seq};PLU;-1.00;")",
    R"(online "{serial};{block};F;N{seq};BAR;")",
    R"(online "{serial};{block};2;N{seq};5;;150;")",
    R"(online "{serial};{block};0;N{seq};TWICE;" times 2)",
    R"(online "{serial};{block};3;0;N{seq};;;")",
    R"(online "{serial};{block};3;4;N{seq};")",
};

// Queries of the three query sets, each waiting for its answer, between two reports.
constexpr const char* QUERY_BLOCKS[] = {
    R"(online "{serial};{block};1;N{seq};4711;" answer)",
    R"(online "{serial};{block};0;N{seq};PLU;2.00;")",
    R"(online "{serial};{block};8;N{seq};;12.50;" answer)",
    R"(online "{serial};{block};4;N{seq};7;X;Y;" answer)",
    R"(online "{serial};{block};C;N{seq};1;-150;" answer)",
    R"(online "{serial};{block};D;N{seq};;3.00;" answer)",
    R"(online "{serial};{block};7;N{seq};40001234;" answer)",
    R"(online "{serial};{block};3;0;N{seq};;;")",
};

// Receipt requests wait for the step a client queued; the fiscal-printer requests do not
// (an operation they do not serve would hold the ECR for ever).
constexpr const char* RECEIPT_BLOCKS[] = {
    R"(online "{serial};{block};A;N{seq};" answer)",
    R"(online "{serial};{block};0;N{seq};PLU;3.00;")",
    R"(online "{serial};{block};A;N{seq};" answer)",
    R"(online "{serial};{block};5;N{seq};")",
    R"(online "{serial};{block};6;N{seq};")",
    R"(online "{serial};{block};A;N{seq};" answer)",
    R"(online "{serial};{block};3;4;N{seq};")",
};

template <std::size_t N>
void AddBlocks(std::string& out, const char* const (&blocks)[N]) {
  for (const char* b : blocks) out.append(b).append("\n");
  out += "loop\n";
}

}  // namespace

std::string SimScript() {
  std::string out = "# The soak run's ECRs (written by ecrsoak --script).\n";
  for (int ecr = 1; ecr <= MAX_ECR_COUNT; ++ecr) {
    out += "\necr " + std::to_string(ecr) + " serial " + SerialOf(ecr) + "\n";
    if (INLINE_ECRS.Has(ecr)) {
      out += "reply * \"0;{text}\"\nreply C \"E7;{text}\"\n";
    } else if (REPORT_ECRS.Has(ecr)) {
      AddBlocks(out, REPORT_BLOCKS);
    } else if (QUERY_ECRS.Has(ecr)) {
      AddBlocks(out, QUERY_BLOCKS);
    } else {
      AddBlocks(out, RECEIPT_BLOCKS);
    }
  }
  return out;
}

std::vector<std::string_view> Fields(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find(';', pos);
    if (end == std::string_view::npos) {
      out.push_back(text.substr(pos));
      break;
    }
    out.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return out;
}

namespace {

}  // namespace

std::optional<long> SeqOf(std::string_view text) {
  for (const auto f : Fields(text))
    if (f.size() > 1 && f[0] == 'N')
      if (const auto n = WholeNumber<long>(f.substr(1))) return n;
  return std::nullopt;
}

std::optional<long> LastNumber(std::string_view text) {
  const auto f = Fields(text);
  if (f.empty()) return std::nullopt;
  return WholeNumber<long>(f.back());
}

char CommandOf(std::string_view block) {
  const auto f = Fields(block);
  return f.size() < 3 || f[2].empty() ? '0' : f[2][0];
}

bool IsReportCommand(char c) {
  return c == '0' || c == '2' || c == '3' || c == 'B' || c == 'F';
}

bool IsReportEvent(std::uint8_t cop) {
  return cop >= PLU_R && cop <= RPO_R && cop != PLU_Q && cop != BAR_Q;
}

bool IsClosingReport(std::uint8_t cop) {
  return cop == TBN_R || cop == TSO_R || cop == TSM_R || cop == ORD_R || cop == ZTL_R ||
         cop == RPO_R;
}

void TReceiptLedger::Seen(int ecr, long b, bool closes, Millis at) {
  const auto [it, fresh] = FOwner.emplace(b, std::make_pair(ecr, at));
  const auto when = [&] {
    return " (first at " + std::to_string(it->second.second / 1000) + " s, again at " +
           std::to_string(at / 1000) + " s)";
  };
  if (!fresh && it->second.first != ecr && FReportedTwo.insert(b).second)
    FOnTwo.push_back("receipt " + std::to_string(b) + " on ECR " + std::to_string(it->second.first) +
                     " and on ECR " + std::to_string(ecr) + when());
  auto& closed = FClosedBy[ecr];
  if (closed.count(b) != 0) {
    if (FReportedReuse.insert(b).second)
      FReused.push_back("receipt " + std::to_string(b) + " of ECR " + std::to_string(ecr) +
                        " came again after it was finished" + when());
    return;
  }
  if (closes) {
    closed.insert(b);
    ++FClosedCount;
  }
}

void TReportCheck::Held(int ecr, Millis from, Millis to) { FHeld[ecr].emplace_back(from, to); }

void TReportCheck::Received(int ecr, long seq, int conn) { ++FGot[{ecr, seq}][conn]; }

void TReportCheck::JournalLine(std::string_view line) {
  const std::size_t a = line.find(' ');
  const std::size_t b = a == std::string_view::npos ? a : line.find(' ', a + 1);
  if (b == std::string_view::npos) return;
  const auto when = WholeNumber<long>(line.substr(0, a));
  const auto ecr = WholeNumber<long>(line.substr(a + 1, b - a - 1));
  const std::string_view block = line.substr(b + 1);
  const auto seq = SeqOf(block);
  if (!when || !ecr || !seq || !IsReportCommand(CommandOf(block))) return;
  FTaken.emplace(std::make_pair(static_cast<int>(*ecr), *seq), *when);
}

TReportCheck::TFigures TReportCheck::Reconcile(const std::vector<TWindow>& windows, Millis cutoff,
                                               Millis margin, Millis grace) const {
  TFigures f;
  auto nearRestart = [&](Millis t) {
    return std::any_of(windows.begin(), windows.end(),
                       [&](const TWindow& w) { return t >= w.From - margin && t <= w.To + grace; });
  };
  auto watched = [&](int ecr, Millis t) {
    const auto it = FHeld.find(ecr);
    if (it == FHeld.end()) return false;
    return std::any_of(it->second.begin(), it->second.end(), [&](const auto& h) {
      return t > h.first && t < h.second - margin;
    });
  };
  for (const auto& [key, when] : FTaken) {
    if (when > cutoff) continue;
    ++f.Taken;
    const auto got = FGot.find(key);
    if (got != FGot.end())
      for (const auto& [conn, times] : got->second) f.Duplicates += times - 1;
    if (nearRestart(when) || !watched(key.first, when)) {
      ++f.Excused;
      continue;
    }
    ++f.Expected;
    if (got != FGot.end()) {
      ++f.Received;
    } else {
      ++f.Missing;
      if (f.MissingList.size() < 10)
        f.MissingList.push_back("ECR " + std::to_string(key.first) + " report N" +
                                std::to_string(key.second) + " taken at " + std::to_string(when));
    }
  }
  for (const auto& [key, conns] : FGot)
    if (FTaken.count(key) == 0) ++f.Unknown;
  return f;
}

}  // namespace kassiro::soak
