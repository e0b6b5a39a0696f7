// The client command routines as a table: state before, one request, what each client
// and the polling thread get, state after.
#include <gtest/gtest.h>

#include <functional>

#include "SessionFixture.h"
#include "core/KassiroConstants.h"

namespace kassiro::testing {
namespace {

// Connections of the table: the requester, the holder of the listening set of the
// addressed set, and somebody else.
constexpr std::uint16_t ME = 11;
constexpr std::uint16_t LISTENER = 12;
constexpr std::uint16_t OTHER = 13;
constexpr std::uint8_t ECR = 5;

using Setup = std::function<void(Session&)>;
using Check = std::function<void(Session&)>;

struct CmdCase {
  std::string name;
  Setup before;
  std::string request;  // as the client sends it, ME is the sender
  std::vector<Sent> answers;
  std::vector<std::string> poll;
  Check after;  // empty: the request changed nothing
  TUserLocale locale{};
};

void PrintTo(const CmdCase& c, std::ostream* os) { *os << c.name; }

// Setup helpers.
Setup Holds(std::vector<std::tuple<std::uint8_t, std::uint8_t, std::uint16_t>> holders) {
  return [holders](Session& s) {
    for (const auto& [ecr, st, id] : holders) {
      SetOf(s, ecr, st).OwnerID = id;
      if (IsMainSet(st) && st != ST_REC) {  // set 13 counts with set 3
        ++EcrOf(s, ecr).UserCount;
        s.ServerStatus = 1;
      }
    }
  };
}
Setup Then(Setup a, Setup b) {
  return [a, b](Session& s) {
    a(s);
    b(s);
  };
}
Setup Queued(std::uint8_t st, std::uint8_t cop, std::uint8_t phase, std::string_view text = "q;") {
  const ShortStr t(text);
  return [=](Session& s) {
    SetOf(s, ECR, st).Cop = cop;
    SetOf(s, ECR, st).Phase = phase;
    SetOf(s, ECR, st).FmAppBuff = t;
  };
}
Setup Parked(std::uint8_t st) {
  return [st](Session& s) {
    SetOf(s, ECR, st).WaitBlk2 = true;
    SetOf(s, ECR, st).WaitBlkBuff = "r;";
    SetOf(s, ECR, st).WaitCOP = 4;
    SetOf(s, ECR, st).WaitBlkFor = SetOf(s, ECR, st).OwnerID;  // for its holder, if any
  };
}
Setup Password(std::uint8_t st, std::string_view pw) {
  const BasicShortStr<PW_LEN> p(pw);
  return [=](Session& s) { s.IniStru.SetPW[st] = p; };
}
Setup Window(std::uint8_t ecr, std::uint8_t st) {
  return [=](Session& s) { AllowAnswer(s, ecr, st); };
}

std::string Req(std::uint8_t st, std::uint8_t cop, std::string_view text = {},
                std::uint8_t ecr = ECR) {
  return Msg(st, cop, ecr, 0, text);
}
// The same answer to the requester and to the listener.
std::vector<Sent> Both(const std::string& answer) { return {{ME, answer}, {LISTENER, answer}}; }
std::vector<Sent> Mine(const std::string& answer) { return {{ME, answer}}; }

Check Owner(std::uint8_t st, std::uint16_t id, std::uint8_t ecr = ECR) {
  return [=](Session& s) { EXPECT_EQ(SetOf(s, ecr, st).OwnerID, id) << "set " << +st; };
}
Check Descr(std::uint8_t st, std::uint8_t cop, std::uint8_t phase, std::string_view text) {
  const std::string t(text);
  return [=](Session& s) {
    EXPECT_EQ(SetOf(s, ECR, st).Cop, cop);
    EXPECT_EQ(SetOf(s, ECR, st).Phase, phase);
    EXPECT_EQ(SetOf(s, ECR, st).FmAppBuff.str(), t);
  };
}
Check All(std::vector<Check> checks) {
  return [checks](Session& s) {
    for (const Check& c : checks) c(s);
  };
}
Check Users(std::uint8_t n) {
  return [n](Session& s) { EXPECT_EQ(EcrOf(s, ECR).UserCount, n); };
}
Check WindowClosed() {
  return [](Session& s) {
    EXPECT_EQ(s.InSeans.Ecr, 0);
    EXPECT_EQ(s.InSeans.St, 0);
  };
}
Check Awaited(std::uint8_t st, std::uint8_t cop, std::string_view text) {
  const std::string t(text);
  return [=](Session& s) {
    EXPECT_EQ(s.WaitRes.St, st);
    EXPECT_EQ(s.WaitRes.Cop, cop);
    EXPECT_EQ(s.WaitRes.Ecr, ECR);
    EXPECT_EQ(s.WaitRes.Buff.str(), t);
    EXPECT_FALSE(s.WaitRes.WaitBlk);
  };
}

const std::vector<std::string> START_POLLING{"AddEcr 5", "NoiseOn"};
const std::vector<std::string> STOP_POLLING{"RemoveEcr 5", "NoiseOff"};

TUserLocale CommaLocale() {
  TUserLocale l;
  l.MonDecimalSep = ",";
  l.DecimalSep = ",";
  return l;
}

std::vector<CmdCase> Cases() {
  const Setup nothing = [](Session&) {};
  return {
      // Taking main sets.
      {"AC_Req_free_set", Holds({{ECR, ST_ERSL, LISTENER}}), Req(ST_ERS, COP_REQ),
       Both(Req(ST_ERS, COP_REQ)), START_POLLING,
       All({Owner(ST_ERS, ME), Users(1), [](Session& s) { EXPECT_EQ(s.ServerStatus, 1); }})},
      {"AC_Req_set3_takes_13", Holds({{ECR, ST_PCSL, LISTENER}}), Req(ST_PCS, COP_REQ),
       Both(Req(ST_PCS, COP_REQ)), START_POLLING,
       All({Owner(ST_PCS, ME), Owner(ST_REC, ME), Users(1)})},
      {"AC_Req_13_while_3_held",
       Holds({{ECR, ST_PCS, OTHER}, {ECR, ST_REC, OTHER}, {ECR, ST_RECL, LISTENER}}),
       Req(ST_REC, COP_REQ),
       Both(Msg(ST_REC, COP_REQ, ECR, ERR_TAKEN)),
       {},
       {}},
      {"AC_Req_1_while_7_held",
       Holds({{ECR, ST_TPR, OTHER}, {ECR, ST_ERSL, LISTENER}}),
       Req(ST_ERS, COP_REQ),
       Both(Msg(ST_ERS, COP_REQ, ECR, ERR_TAKEN)),
       {},
       {}},
      {"AC_Req_1_on_other_ecr_while_7_held",
       Holds({{ECR, ST_TPR, OTHER}}),
       Req(ST_ERS, COP_REQ, "", 6),
       Mine(Req(ST_ERS, COP_REQ, "", 6)),
       {"AddEcr 6"},
       Owner(ST_ERS, ME, 6)},
      {"AC_Req_own_set_again",
       Holds({{ECR, ST_ERS, ME}}),
       Req(ST_ERS, COP_REQ),
       Mine(Msg(ST_ERS, COP_REQ, ECR, ERR_TAKEN)),
       {},
       {}},
      {"AC_Req_listening_set_held_no_conflict",
       Holds({{ECR, ST_ERSL, ME}}),
       Req(ST_ERS, COP_REQ),
       {{ME, Req(ST_ERS, COP_REQ)}, {ME, Req(ST_ERS, COP_REQ)}},
       START_POLLING,
       Owner(ST_ERS, ME)},
      {"AC_Req_password_trailing_blank",
       Then(Password(ST_ERS, "pw"), Holds({{ECR, ST_ERSL, LISTENER}})),
       Req(ST_ERS, COP_REQ, "pw "),
       Both(Msg(ST_ERS, COP_REQ, ECR, ERR_PASSWORD)),
       {},
       {}},
      {"AC_Req_password_case",
       Password(ST_ERS, "pw"),
       Req(ST_ERS, COP_REQ, "PW;"),
       Mine(Msg(ST_ERS, COP_REQ, ECR, ERR_PASSWORD)),
       {},
       {}},
      {"AC_Req_password_without_terminator", Password(ST_ERS, "pw"), Req(ST_ERS, COP_REQ, "pw"),
       Mine(Req(ST_ERS, COP_REQ)), START_POLLING, Owner(ST_ERS, ME)},
      {"AC_Req_password_with_terminator", Password(ST_ERS, "pw"), Req(ST_ERS, COP_REQ, "pw;x;"),
       Mine(Req(ST_ERS, COP_REQ)), START_POLLING, Owner(ST_ERS, ME)},
      // A result parked while the set was free is its departed holder's: it stays for
      // the listener and the new holder is never sent it.
      {"AC_Req_keeps_departed_holders_parked_result_and_text",
       Then(Parked(ST_ERS), Queued(ST_ERS, 4, NOT_SENDED, "old;")), Req(ST_ERS, COP_REQ),
       Mine(Req(ST_ERS, COP_REQ)), START_POLLING,
       All({Descr(ST_ERS, 0, 0, "old;"),
            [](Session& s) {
              EXPECT_TRUE(SetOf(s, ECR, ST_ERS).WaitBlk2);
              EXPECT_EQ(SetOf(s, ECR, ST_ERS).WaitBlkFor, 0);
            }})},
      // Listening sets: refusals to the requester only, polling untouched.
      {"LS_Req_free",
       nothing,
       Req(ST_ERSL, COP_REQ),
       Mine(Req(ST_ERSL, COP_REQ)),
       {},
       All({Owner(ST_ERSL, ME), Users(0)})},
      {"LS_Req_taken",
       Holds({{ECR, ST_ERSL, OTHER}}),
       Req(ST_ERSL, COP_REQ),
       Mine(Msg(ST_ERSL, COP_REQ, ECR, ERR_TAKEN)),
       {},
       {}},
      {"LS_Req_password",
       Password(ST_RECL, "x"),
       Req(ST_RECL, COP_REQ, "y"),
       Mine(Msg(ST_RECL, COP_REQ, ECR, ERR_PASSWORD)),
       {},
       {}},
      // Releasing.
      {"AC_Disc_set3_frees_13",
       Holds({{ECR, ST_PCS, ME}, {ECR, ST_REC, ME}, {ECR, ST_PCSL, LISTENER}}),
       Req(ST_PCS, COP_DISC), Both(Req(ST_PCS, COP_DISC)), STOP_POLLING,
       All({Owner(ST_PCS, 0), Owner(ST_REC, 0), Users(0)})},
      {"AC_Disc_not_yours",
       Holds({{ECR, ST_ERS, OTHER}, {ECR, ST_ERSL, LISTENER}}),
       Req(ST_ERS, COP_DISC),
       Both(Msg(ST_ERS, COP_DISC, ECR, ERR_NOT_YOURS)),
       {},
       {}},
      {"AC_Disc_leaves_parked_result_to_the_listener_keeps_text",
       Then(Holds({{ECR, ST_ERS, ME}}),
            Then(Parked(ST_ERS), Queued(ST_ERS, 4, NOT_COMPLETED, "t;"))),
       Req(ST_ERS, COP_DISC), Mine(Req(ST_ERS, COP_DISC)), STOP_POLLING,
       All({Descr(ST_ERS, 0, 0, "t;"),
            [](Session& s) {
              EXPECT_TRUE(SetOf(s, ECR, ST_ERS).WaitBlk2);
              EXPECT_EQ(SetOf(s, ECR, ST_ERS).WaitBlkFor, 0);
            }})},
      {"AC_Disc_13_alone_keeps_set3_user",
       Holds({{ECR, ST_PCS, ME}, {ECR, ST_REC, ME}}),
       Req(ST_REC, COP_DISC),
       Mine(Req(ST_REC, COP_DISC)),
       {},
       All({Owner(ST_PCS, ME), Owner(ST_REC, 0), Users(1)})},
      {"LS_Disc",
       Holds({{ECR, ST_ERSL, ME}}),
       Req(ST_ERSL, COP_DISC),
       Mine(Req(ST_ERSL, COP_DISC)),
       {},
       Owner(ST_ERSL, 0)},
      {"LS_Disc_not_yours",
       Holds({{ECR, ST_ERSL, OTHER}}),
       Req(ST_ERSL, COP_DISC),
       Mine(Msg(ST_ERSL, COP_DISC, ECR, ERR_NOT_YOURS)),
       {},
       {}},
      // Queueing operations.
      {"IN_Cmd_queues",
       Holds({{ECR, ST_RPR, ME}, {ECR, ST_RPRL, LISTENER}}),
       Req(ST_RPR, 4, "12;"),
       {},
       {},
       Descr(ST_RPR, 4, NOT_SENDED, "12;")},
      {"IN_Cmd_busy",
       Then(Holds({{ECR, ST_RPR, ME}, {ECR, ST_RPRL, LISTENER}}), Queued(ST_RPR, 6, NOT_SENDED)),
       Req(ST_RPR, 4, "12;"),
       Both(Msg(ST_RPR, 4, ECR, ERR_BUSY)),
       {},
       {}},
      {"IN_Cmd_while_handed_over_result_awaited",
       Then(Holds({{ECR, ST_RPR, ME}}),
            [](Session& s) { WaitDriverResult(s, ST_RPR, 4, ECR, "12;"); }),
       Req(ST_RPR, 4, "13;"),
       Mine(Msg(ST_RPR, 4, ECR, ERR_BUSY)),
       {},
       {}},
      {"IN_Cmd_not_yours",
       Holds({{ECR, ST_RPR, OTHER}}),
       Req(ST_RPR, 4, "12;"),
       Mine(Msg(ST_RPR, 4, ECR, ERR_NOT_YOURS)),
       {},
       {}},
      {"AC_Load_set3_queues_into_13",
       Holds({{ECR, ST_PCS, ME}, {ECR, ST_REC, ME}}),
       Req(ST_PCS, 5, "3;1.50;"),
       {},
       {},
       All({Descr(ST_REC, 5, NOT_SENDED, "3;1.50;"), Descr(ST_PCS, 0, 0, "")})},
      {"AC_Load_13_busy",
       Then(Holds({{ECR, ST_REC, ME}, {ECR, ST_RECL, LISTENER}}), Queued(ST_REC, 4, NOT_SENDED)),
       Req(ST_REC, 12, "x;"),
       Both(Msg(ST_REC, 12, ECR, ERR_BUSY)),
       {},
       {}},
      {"AC_Load_set3_not_yours",
       Holds({{ECR, ST_PCS, ME}, {ECR, ST_REC, OTHER}}),
       Req(ST_PCS, 4, "x;"),
       Mine(Msg(ST_PCS, 4, ECR, ERR_NOT_YOURS)),
       {},
       {}},
      // Cancel and phase, through set 3 on the descriptor of set 13.
      {"AC_Cancel_set3",
       Then(Holds({{ECR, ST_PCS, ME}, {ECR, ST_REC, ME}, {ECR, ST_PCSL, LISTENER}}),
            Then(Queued(ST_REC, 4, NOT_COMPLETED, "t;"), Parked(ST_REC))),
       Req(ST_PCS, COP_CANCEL),
       Both(Req(ST_PCS, COP_CANCEL)),
       {},
       All({Descr(ST_REC, 0, 0, "t;"),
            [](Session& s) {
              EXPECT_FALSE(SetOf(s, ECR, ST_REC).WaitBlk2);
              EXPECT_TRUE(SetOf(s, ECR, ST_REC).WaitBlkBuff.empty());
              EXPECT_EQ(SetOf(s, ECR, ST_REC).WaitCOP, 0);
            }})},
      {"AC_Cancel_not_yours",
       Holds({{ECR, ST_RPR, OTHER}, {ECR, ST_RPRL, LISTENER}}),
       Req(ST_RPR, COP_CANCEL),
       Both(Msg(ST_RPR, COP_CANCEL, ECR, ERR_NOT_YOURS)),
       {},
       {}},
      {"AC_Phase_set3_queued",
       Then(Holds({{ECR, ST_PCS, ME}, {ECR, ST_REC, ME}, {ECR, ST_PCSL, LISTENER}}),
            Queued(ST_REC, 4, NOT_SENDED)),
       Req(ST_PCS, COP_PHASE),
       Both(Msg(ST_PCS, COP_PHASE, ECR, NOT_SENDED)),
       {},
       {}},
      {"AC_Phase_set3_running",
       Then(Holds({{ECR, ST_PCS, ME}, {ECR, ST_REC, ME}}), Queued(ST_REC, 4, NOT_COMPLETED)),
       Req(ST_PCS, COP_PHASE),
       Mine(Msg(ST_PCS, COP_PHASE, ECR, NOT_COMPLETED)),
       {},
       {}},
      {"AC_Phase_idle",
       Holds({{ECR, ST_RPR, ME}}),
       Req(ST_RPR, COP_PHASE),
       Mine(Msg(ST_RPR, COP_PHASE, ECR, NO_PHASE)),
       {},
       {}},
      // Answers to the ECR's requests.
      {"AC_Ans_in_time",
       Then(Holds({{ECR, ST_ECP, ME}, {ECR, ST_ECPL, LISTENER}}), Window(ECR, ST_ECP)),
       Req(ST_ECP, COP_ANSWER, "P;1;"),
       {},
       {"SendOnlBlock P;1;"},
       All({WindowClosed(), Awaited(ST_ECP, COP_ANSWER, "P;1;")})},
      {"AC_Ans_window_of_other_set",
       Then(Holds({{ECR, ST_ERS, ME}, {ECR, ST_ERSL, LISTENER}}), Window(ECR, ST_ECP)),
       Req(ST_ERS, COP_ANSWER, "P;1;"),
       Both(Msg(ST_ERS, COP_ANSWER, ECR, ERR_TOO_LATE)),
       {},
       {}},
      {"AC_Ans_window_of_other_ecr",
       Then(Holds({{ECR, ST_ECP, ME}}), Window(6, ST_ECP)),
       Req(ST_ECP, COP_ANSWER, "P;1;"),
       Mine(Msg(ST_ECP, COP_ANSWER, ECR, ERR_TOO_LATE)),
       {},
       {}},
      {"AC_Ans_not_yours",
       Then(Holds({{ECR, ST_ECP, OTHER}}), Window(ECR, ST_ECP)),
       Req(ST_ECP, COP_ANSWER, "P;1;"),
       Mine(Msg(ST_ECP, COP_ANSWER, ECR, ERR_NOT_YOURS)),
       {},
       {}},
      {"AC_Forb_in_time",
       Then(Holds({{ECR, ST_ESR, ME}, {ECR, ST_KSRL, LISTENER}}), Window(ECR, ST_ESR)),
       Req(ST_ESR, COP_FORBID),
       Both(Req(ST_ESR, COP_FORBID)),
       {"Next"},
       WindowClosed()},
      {"AC_Forb_dforbid_on_set9",
       Then(Holds({{ECR, ST_ECP, ME}}), Window(ECR, ST_ECP)),
       Req(ST_ECP, COP_DFORBID),
       Mine(Req(ST_ECP, COP_DFORBID)),
       {"Next"},
       WindowClosed()},
      {"AC_Forb_too_late",
       Holds({{ECR, ST_ESR, ME}, {ECR, ST_KSRL, LISTENER}}),
       Req(ST_ESR, COP_FORBID),
       Both(Msg(ST_ESR, COP_FORBID, ECR, ERR_TOO_LATE)),
       {},
       {}},
      {"AC_Perc_5",
       Then(Holds({{ECR, ST_ERS, ME}}), Window(ECR, ST_ERS)),
       Req(ST_ERS, COP_PERC, "5;"),
       {},
       {"SendOnlBlock C;;5.00;;;;"},
       Awaited(ST_ERS, COP_PERC, "C;;5.00;;;;")},
      {"AC_Perc_150",
       Then(Holds({{ECR, ST_ECP, ME}}), Window(ECR, ST_ECP)),
       Req(ST_ECP, COP_PERC, "150;"),
       {},
       {"SendOnlBlock C;;0.00;;;;"},
       Awaited(ST_ECP, COP_PERC, "C;;0.00;;;;")},
      {"AC_Perc_abc",
       Then(Holds({{ECR, ST_ERS, ME}}), Window(ECR, ST_ERS)),
       Req(ST_ERS, COP_PERC, "abc;"),
       {},
       {"SendOnlBlock C;;0.00;;;;"},
       {}},
      {"AC_Perc_negative",
       Then(Holds({{ECR, ST_ERS, ME}}), Window(ECR, ST_ERS)),
       Req(ST_ERS, COP_PERC, "-1;"),
       {},
       {"SendOnlBlock C;;0.00;;;;"},
       {}},
      {"AC_Perc_99_99",
       Then(Holds({{ECR, ST_ERS, ME}}), Window(ECR, ST_ERS)),
       Req(ST_ERS, COP_PERC, "99.99;"),
       {},
       {"SendOnlBlock C;;99.99;;;;"},
       {}},
      {"AC_Perc_comma_locale",
       Then(Holds({{ECR, ST_ERS, ME}}), Window(ECR, ST_ERS)),
       Req(ST_ERS, COP_PERC, "12,5;"),
       {},
       {"SendOnlBlock C;;12.50;;;;"},
       {},
       CommaLocale()},
      {"AC_Perc_too_late",
       Holds({{ECR, ST_ERS, ME}}),
       Req(ST_ERS, COP_PERC, "5;"),
       Mine(Msg(ST_ERS, COP_PERC, ECR, ERR_TOO_LATE)),
       {},
       {}},
  };
}

class AppCommands : public SessionTest, public ::testing::WithParamInterface<CmdCase> {};

TEST_P(AppCommands, Request) {
  const CmdCase& c = GetParam();
  Locale = c.locale;
  c.before(S);
  const std::string before = Dump(S);
  Send(ME, c.request);
  EXPECT_EQ(Clients.Take(), c.answers);
  EXPECT_EQ(Poll.Take(), c.poll);
  if (c.after) {
    c.after(S);
  } else if (!c.poll.empty() && c.poll.front().starts_with("SendOnlBlock")) {
    WindowClosed()(S);  // an answer went to the ECR: the rest is checked by other rows
  } else {
    EXPECT_EQ(Dump(S), before) << "a refusal changes nothing";
  }
}

INSTANTIATE_TEST_SUITE_P(Table, AppCommands, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<CmdCase>& info) {
                           return info.param.name;
                         });

// Sequences over several requests.
using AppCommandFlows = SessionTest;

TEST_F(AppCommandFlows, SetThreeHoldsThirteenUntilReleased) {
  Take(ME, ECR, ST_PCS);
  Request(OTHER, ST_REC, COP_REQ, ECR);
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{OTHER, Msg(ST_REC, COP_REQ, ECR, ERR_TAKEN)}}));
  Request(ME, ST_PCS, COP_DISC, ECR);
  Clients.Take();
  Request(OTHER, ST_REC, COP_REQ, ECR);
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{OTHER, Req(ST_REC, COP_REQ)}}));
}

// The link learns of a wrong password before the refusal is queued, so it can hold that
// answer back; a set refused as taken, or taken with the right password, tells it nothing.
TEST_F(AppCommandFlows, OnlyWrongPasswordsAreReportedBeforeTheirRefusal) {
  Password(ST_ERS, "pw")(S);
  Password(ST_RECL, "pw")(S);
  Request(ME, ST_ERS, COP_REQ, ECR, "no;");
  Request(OTHER, ST_RECL, COP_REQ, ECR, "no;");
  Request(ME, ST_ERS, COP_REQ, ECR, "pw;");
  Request(OTHER, ST_ERS, COP_REQ, ECR, "no;");  // taken: the password is not even looked at
  using Wrong = std::pair<std::uint16_t, std::size_t>;
  EXPECT_EQ(Clients.wrong, (std::vector<Wrong>{{ME, 0}, {OTHER, 1}}));
}

TEST_F(AppCommandFlows, LoadAfterCancelIsAcceptedAndPhaseReads101) {
  Take(ME, ECR, ST_REC);
  Request(ME, ST_REC, 4, ECR, "a;");
  Request(ME, ST_REC, 5, ECR, "b;");
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{ME, Msg(ST_REC, 5, ECR, ERR_BUSY)}}));
  Request(ME, ST_REC, COP_CANCEL, ECR);
  Request(ME, ST_REC, 5, ECR, "b;");
  Request(ME, ST_REC, COP_PHASE, ECR);
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{ME, Req(ST_REC, COP_CANCEL)},
                                               {ME, Msg(ST_REC, COP_PHASE, ECR, NOT_SENDED)}}));
  EXPECT_EQ(Set(ECR, ST_REC).FmAppBuff, "b;");
}

TEST_F(AppCommandFlows, AnswerForOtherSetLeavesTheRequestOpenForItsSet) {
  Take(ME, ECR, ST_ERS);
  Take(OTHER, ECR, ST_ECP);
  AllowAnswer(S, ECR, ST_ECP);
  Request(ME, ST_ERS, COP_ANSWER, ECR, "x;");
  EXPECT_EQ(Clients.Take(), (std::vector<Sent>{{ME, Msg(ST_ERS, COP_ANSWER, ECR, ERR_TOO_LATE)}}));
  Request(OTHER, ST_ECP, COP_ANSWER, ECR, "y;");
  EXPECT_EQ(Poll.Take(), (std::vector<std::string>{"SendOnlBlock y;"}));
  Request(OTHER, ST_ECP, COP_ANSWER, ECR, "z;");  // the window closed with the first answer
  EXPECT_EQ(Clients.Take(),
            (std::vector<Sent>{{OTHER, Msg(ST_ECP, COP_ANSWER, ECR, ERR_TOO_LATE)}}));
}

}  // namespace
}  // namespace kassiro::testing
