// The soak run's checks on their own: the receipt ledger, the reconciliation of reports
// with the simulator's journal, and the simulator script of the layout.
#include "ecrsoak/SoakLedger.h"

#include <gtest/gtest.h>

#include "core/KassiroConstants.h"
#include "ecrsim/SimScript.h"

namespace kassiro::soak {
namespace {

TEST(SoakLedger, ReceiptNumbersBelongToOneEcrAndAreNotUsedAfterTheyWereFinished) {
  TReceiptLedger l;
  l.Seen(40, 7, false);
  l.Seen(40, 7, false);
  l.Seen(40, 7, true);  // the closing report
  l.Seen(41, 8, false);
  EXPECT_TRUE(l.OnTwoEcrs().empty());
  EXPECT_TRUE(l.Reused().empty());
  EXPECT_EQ(l.Numbers(), 2);
  EXPECT_EQ(l.Closed(), 1);

  l.Seen(42, 8, false, 12'000);  // another ECR got 8 too
  l.Seen(43, 8, false);          // reported once
  ASSERT_EQ(l.OnTwoEcrs().size(), 1u);
  EXPECT_EQ(l.OnTwoEcrs()[0], "receipt 8 on ECR 41 and on ECR 42 (first at 0 s, again at 12 s)");
  l.Seen(40, 7, false);  // the finished receipt's number again
  ASSERT_EQ(l.Reused().size(), 1u);
  EXPECT_NE(l.Reused()[0].find("receipt 7 of ECR 40 came again after it was finished"), std::string::npos);
}

TEST(SoakLedger, FieldsNumbersAndEvents) {
  EXPECT_EQ(SeqOf("004740;3;N17;A;12;90;"), 17);
  EXPECT_EQ(SeqOf("004740;3;0;NX;"), std::nullopt);
  EXPECT_EQ(LastNumber("004740;3;N17;A;12;90;"), 90);
  EXPECT_EQ(LastNumber("1;2;x;"), std::nullopt);
  EXPECT_EQ(CommandOf("004740;3;B;N1;"), 'B');
  EXPECT_EQ(CommandOf("004740;3;;N1;"), '0');
  EXPECT_TRUE(IsReportEvent(PLU_R));
  EXPECT_TRUE(IsReportEvent(RPO_R));
  EXPECT_FALSE(IsReportEvent(PLU_Q));
  EXPECT_FALSE(IsReportEvent(BAR_Q));
  EXPECT_FALSE(IsReportEvent(PERS_Q));
  EXPECT_TRUE(IsClosingReport(TBN_R));
  EXPECT_FALSE(IsClosingReport(PLU_R));
}

TEST(SoakLedger, ReportsTakenWhileWatchedAwayFromRestartsMustArriveOnce) {
  TReportCheck c;
  c.Held(40, 1'000, 50'000);
  for (const char* line : {"2000 40 004740;1;0;N1;PLU;",    // watched: received
                           "3000 40 004740;2;0;N2;PLU;",    // watched: missing
                           "3500 40 004740;3;8;N3;;1.00;",  // a query: not a report
                           "20500 40 004740;4;0;N4;PLU;",   // inside a restart: excused
                           "4000 41 004741;1;B;N1;PLU;",    // nobody watched ECR 41
                           "5000 40 004740;5;0;N5;TWICE;",  // sent twice, forwarded once
                           "5100 40 004740;5;0;N5;TWICE;",
                           "60000 40 004740;6;0;N6;PLU;"})  // after the cutoff
    c.JournalLine(line);
  c.Received(40, 1, 1);
  c.Received(40, 5, 1);
  c.Received(40, 5, 2);  // again, but on the next connection (after a restart)
  const auto f = c.Reconcile({{20'000, 21'000}}, 55'000, 1'000, 5'000);
  EXPECT_EQ(f.Taken, 5);
  EXPECT_EQ(f.Expected, 3);
  EXPECT_EQ(f.Received, 2);
  EXPECT_EQ(f.Missing, 1);
  EXPECT_EQ(f.Excused, 2);
  EXPECT_EQ(f.Duplicates, 0);
  ASSERT_EQ(f.MissingList.size(), 1u);
  EXPECT_EQ(f.MissingList[0], "ECR 40 report N2 taken at 3000");

  c.Received(40, 1, 1);  // twice on one connection
  EXPECT_EQ(c.Reconcile({}, 55'000, 1'000, 5'000).Duplicates, 1);
}

TEST(SoakLedger, TheLayoutsScriptIsOneTheSimulatorTakes) {
  const auto script = ecrsim::ParseSimScript(SimScript(), "soak.sim");
  ASSERT_EQ(script.Ecrs.size(), 99u);
  EXPECT_TRUE(script.Ecrs[INLINE_ECRS.From - 1].Online.empty());
  for (const TRange r : {REPORT_ECRS, QUERY_ECRS, RECEIPT_ECRS}) {
    const auto& e = script.Ecrs[r.From - 1];
    EXPECT_TRUE(e.Loop);
    for (const auto& o : e.Online) EXPECT_NE(o.Text.find(";N{seq};"), std::string::npos) << o.Text;
  }
  EXPECT_EQ(script.Ecrs[56].Serial, SerialOf(57));
}

}  // namespace
}  // namespace kassiro::soak
