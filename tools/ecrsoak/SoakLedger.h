// The soak run's bookkeeping, kept apart from the clients so that it can be tested on its
// own: the layout of the 99 simulated ECRs (and the simulator script for it), the ledger of
// receipt numbers, and the reconciliation of the reports the ECRs sent with those the
// watcher received.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kassiro::soak {

using Millis = std::int64_t;  // the system's monotonic clock, in ms (steady_clock)

Millis NowMs();

// Which ECRs do what. In-line ECRs only answer commands; the others loop over on-line
// blocks: reports; queries with some reports; receipt and fiscal requests with reports.
struct TRange {
  int From, To;
  bool Has(int ecr) const { return ecr >= From && ecr <= To; }
  int Count() const { return To - From + 1; }
};
inline constexpr TRange INLINE_ECRS{1, 33};
inline constexpr TRange REPORT_ECRS{34, 55};
inline constexpr TRange QUERY_ECRS{56, 77};
inline constexpr TRange RECEIPT_ECRS{78, 99};
inline constexpr TRange ONLINE_ECRS{34, 99};

// The simulator script of the layout. Every on-line block carries the field N<seq>, so a
// report can be told apart from every other, also when a block is sent again.
std::string SimScript();
// The serial number each ECR of the script answers with.
std::string SerialOf(int ecr);

// The block's sequence number from its field "N<seq>"; nullopt without one.
std::optional<long> SeqOf(std::string_view text);
// The last field of a text as a number (the receipt number of everything the server
// numbers); nullopt if it is not a number.
std::optional<long> LastNumber(std::string_view text);
// Fields of a text (each one terminated by ';').
std::vector<std::string_view> Fields(std::string_view text);
// The ECR's command letter of an on-line block (its field 3), '0' when empty.
char CommandOf(std::string_view block);
// Commands whose blocks the server forwards as reports.
bool IsReportCommand(char c);
// Event codes of reports on the report set (the rest on that set are queries).
bool IsReportEvent(std::uint8_t cop);
// Reports that finish the ECR's receipt: the number they carry is not used again.
bool IsClosingReport(std::uint8_t cop);

// Receipt numbers in the order one connection received them: a number must belong to one
// ECR only, and once the ECR's receipt with that number is finished it must not come
// again on that ECR.
class TReceiptLedger {
 public:
  // A message of ECR ecr carried receipt number b; closes: it finished that receipt. at:
  // when, for the report (ms into the run).
  void Seen(int ecr, long b, bool closes, Millis at = 0);
  long Numbers() const { return static_cast<long>(FOwner.size()); }
  long Closed() const { return FClosedCount; }
  // Numbers seen on two ECRs, and numbers seen again on their ECR after it finished them.
  const std::vector<std::string>& OnTwoEcrs() const { return FOnTwo; }
  const std::vector<std::string>& Reused() const { return FReused; }

 private:
  std::map<long, std::pair<int, Millis>> FOwner;  // the ECR that had the number first, and when
  std::map<int, std::set<long>> FClosedBy;
  std::set<long> FReportedTwo, FReportedReuse;
  long FClosedCount = 0;
  std::vector<std::string> FOnTwo, FReused;
};

// A stretch of time in which the server was stopped and started again; connections cut
// and messages lost inside it (and a margin around it) are expected.
struct TWindow {
  Millis From = 0, To = 0;
};

// Reports: what the ECRs had taken (the simulator's journal) against what the watcher,
// which holds the listening report set of every on-line ECR, received.
class TReportCheck {
 public:
  struct TFigures {
    long Taken = 0;      // distinct reports the ECRs had taken
    long Expected = 0;   // of those, taken while the watcher held the set, away from restarts
    long Received = 0;   // expected ones the watcher received
    long Missing = 0;    // expected ones it did not
    long Excused = 0;    // taken while nobody watched, near a restart or the end
    long Duplicates = 0; // reports the watcher received twice on one connection
    long Unknown = 0;    // received reports the journal has no line for
    std::vector<std::string> MissingList;  // the first few, for the report
  };

  // The watcher held ECR ecr's listening report set from..to (to: when its connection
  // ended, or the end of the run).
  void Held(int ecr, Millis from, Millis to);
  // The watcher received the report seq of ECR ecr on its connection number conn.
  void Received(int ecr, long seq, int conn);
  // A line of the simulator's journal: "<ms> <ecr> <block>".
  void JournalLine(std::string_view line);
  // Reconciles everything taken before cutoff; near a window (margin before, grace after)
  // a missing report is excused.
  TFigures Reconcile(const std::vector<TWindow>& windows, Millis cutoff, Millis margin,
                     Millis grace) const;

 private:
  std::map<int, std::vector<std::pair<Millis, Millis>>> FHeld;
  std::map<std::pair<int, long>, Millis> FTaken;              // first time taken
  std::map<std::pair<int, long>, std::map<int, int>> FGot;    // per connection, times received
};

}  // namespace kassiro::soak
