#include "SimScript.h"

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

#include "util/HexText.h"
#include "util/WholeNumber.h"

namespace kassiro::ecrsim {
namespace {

constexpr std::size_t MaxInline = 7;   // longer poll answers are on-line blocks
constexpr std::size_t MaxBlock = 254;  // with its 0D, one short string

struct TToken {
  std::string Text;
  bool Quoted = false;
};

[[noreturn]] void Fail(const std::string& msg) { throw TScriptError(msg); }

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (const char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// A quoted text starting at line[i] (the opening quote); i ends after the closing one.
std::string ReadQuoted(std::string_view line, std::size_t& i) {
  std::string out;
  for (++i; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      ++i;
      return out;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i >= line.size()) break;
    const char e = line[i];
    if (e == '"' || e == '\\') {
      out += e;
    } else if (const auto byte = HexPairAt(line, i + 1); e == 'x' && byte) {
      out += static_cast<char>(*byte);
      i += 2;
    } else {
      Fail(std::string("unknown escape '\\") + e + "' (use \\\", \\\\ or \\xHH)");
    }
  }
  Fail("unclosed quote");
}

std::vector<TToken> Tokenize(std::string_view line) {
  std::vector<TToken> out;
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      out.push_back({ReadQuoted(line, i), true});
    } else {
      const std::size_t start = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' &&
             line[i] != '"' && line[i] != '#')
        ++i;
      out.push_back({std::string(line.substr(start, i - start)), false});
    }
  }
  return out;
}

int EcrNumber(const TToken& t) {
  const auto n = t.Quoted ? std::nullopt : WholeNumber<int>(t.Text);
  if (!n || *n < 1 || *n > 99) Fail("ECR number must be 1..99, got '" + t.Text + "'");
  return *n;
}

std::string SerialNumber(const TToken& t) {
  if (t.Quoted || !AllDigits(t.Text) || t.Text.size() > 9)
    Fail("serial number must be 1 to 9 decimal digits, got '" + t.Text + "'");
  return t.Text;
}

int Count(const TToken& t, std::string_view what, int min, int max) {
  const auto n = t.Quoted ? std::nullopt : WholeNumber<int>(t.Text);
  if (!n || *n < min || *n > max)
    Fail(std::string(what) + " must be " + std::to_string(min) + ".." + std::to_string(max) +
         ", got '" + t.Text + "'");
  return *n;
}

const std::string& QuotedArg(const std::vector<TToken>& tok, std::size_t i) {
  if (i >= tok.size() || !tok[i].Quoted)
    Fail("expected a quoted text after '" + tok[0].Text + "'");
  return tok[i].Text;
}

void NoMoreArgs(const std::vector<TToken>& tok, std::size_t n) {
  if (tok.size() > n) Fail("unexpected '" + tok[n].Text + "' after '" + tok[0].Text + "'");
}

void CheckBytes(std::string_view what, std::string_view s) {
  if (s.find('\x0A') != std::string_view::npos || s.find('\x0D') != std::string_view::npos)
    Fail(std::string(what) + " must not contain the bytes 0A or 0D");
}

void CheckOnline(const TEcrScript& e, const std::string& tmpl) {
  const std::string s = Expand(tmpl, e, e.FirstBlockNo);
  CheckBytes("an on-line block", s);
  if (s.size() <= MaxInline || s.size() > MaxBlock)
    Fail("the on-line block \"" + s + "\" has " + std::to_string(s.size()) +
         " bytes; it must have 8 to 254");
}

void CheckReply(const TEcrScript& e, const std::string& tmpl) {
  const std::string s = Expand(tmpl, e, e.FirstBlockNo, std::string_view{});
  CheckBytes("a reply", s);
  if (s.size() > MaxBlock) Fail("a reply has more than 254 bytes");
}

void CheckInline(const TEcrScript& e) {
  const std::string s = Expand(e.Inline, e, e.FirstBlockNo);
  CheckBytes("an in-line answer", s);
  if (s.size() > MaxInline)
    Fail("the in-line answer \"" + s + "\" has " + std::to_string(s.size()) +
         " bytes; at most 7 (longer answers are on-line blocks)");
}

// Builds the script line by line; the ECR being described is the last one.
class TScriptBuilder {
 public:
  void Line(const std::vector<TToken>& tok) {
    if (tok[0].Quoted) Fail("a line must start with a directive, not a quoted text");
    const std::string& d = tok[0].Text;
    if (d == "ecr") return Ecr(tok);
    if (FScript.Ecrs.empty()) Fail("'" + d + "' before the first 'ecr' line");
    TEcrScript& e = FScript.Ecrs.back();
    if (d == "inline") {
      e.Inline = QuotedArg(tok, 1);
      NoMoreArgs(tok, 2);
      Expand(e.Inline, e, 0);  // placeholders now; the length once the ECR is complete
    } else if (d == "online") {
      Online(e, tok);
    } else if (d == "loop") {
      NoMoreArgs(tok, 1);
      e.Loop = true;
    } else if (d == "block") {
      if (tok.size() < 2) Fail("expected a block number after 'block'");
      e.FirstBlockNo = Count(tok[1], "block number", 0, 9);
      NoMoreArgs(tok, 2);
    } else if (d == "reply") {
      Reply(e, tok);
    } else if (d == "fault") {
      Fault(e, tok);
    } else {
      Fail("unknown directive '" + d + "'");
    }
  }

  TSimScript Finish() && { return std::move(FScript); }

 private:
  void Ecr(const std::vector<TToken>& tok) {
    if (tok.size() < 2) Fail("expected an ECR number after 'ecr'");
    const int n = EcrNumber(tok[1]);
    if (FScript.Find(n)) Fail("ECR " + std::to_string(n) + " is described twice");
    TEcrScript e = DefaultEcr(n);
    if (tok.size() > 2) {
      if (tok[2].Quoted || tok[2].Text != "serial" || tok.size() < 4)
        Fail("expected 'serial NUMBER' after the ECR number");
      e.Serial = SerialNumber(tok[3]);
      NoMoreArgs(tok, 4);
    }
    FScript.Ecrs.push_back(std::move(e));
  }

  static void Online(TEcrScript& e, const std::vector<TToken>& tok) {
    TOnlineEntry entry{QuotedArg(tok, 1)};
    for (std::size_t i = 2; i < tok.size(); ++i) {
      if (!tok[i].Quoted && tok[i].Text == "answer") {
        entry.WaitAnswer = true;
      } else if (!tok[i].Quoted && tok[i].Text == "times" && i + 1 < tok.size()) {
        entry.Times = Count(tok[++i], "times", 1, 1000);
      } else {
        Fail("unexpected '" + tok[i].Text + "' after 'online' (known: answer, times N)");
      }
    }
    CheckOnline(e, entry.Text);
    e.Online.push_back(std::move(entry));
  }

  static void Reply(TEcrScript& e, const std::vector<TToken>& tok) {
    if (tok.size() < 2 || tok[1].Quoted || tok[1].Text.size() != 1)
      Fail("expected a command letter or '*' after 'reply'");
    const std::string& text = QuotedArg(tok, 2);
    NoMoreArgs(tok, 3);
    CheckReply(e, text);
    if (tok[1].Text == "*") {
      e.DefaultReply = text;
    } else {
      e.Replies[tok[1].Text[0]] = text;
    }
  }

  static void Fault(TEcrScript& e, const std::vector<TToken>& tok) {
    TFaultKind kind{};
    if (tok.size() < 2 || tok[1].Quoted || !ParseFaultKind(tok[1].Text, kind))
      Fail("expected badcrc, nak, silent, noise, late, answerall or stream after 'fault'");
    int count = FaultLastsForGood(kind) ? TFaults::Always : 1;
    if (tok.size() > 2) count = Count(tok[2], "fault count", 1, 1000000);
    NoMoreArgs(tok, 3);
    AddFault(e.Faults, kind, count);
  }

  TSimScript FScript;
};

}  // namespace

bool ParseFaultKind(std::string_view word, TFaultKind& kind) {
  if (word == "badcrc") kind = TFaultKind::BadCrc;
  else if (word == "nak") kind = TFaultKind::Nak;
  else if (word == "silent") kind = TFaultKind::Silent;
  else if (word == "noise") kind = TFaultKind::Noise;
  else if (word == "late") kind = TFaultKind::Late;
  else if (word == "answerall") kind = TFaultKind::AnswerAll;
  else if (word == "stream") kind = TFaultKind::Stream;
  else return false;
  return true;
}

bool FaultLastsForGood(TFaultKind kind) {
  return kind == TFaultKind::Silent || kind == TFaultKind::AnswerAll || kind == TFaultKind::Stream;
}

namespace {

// A count of a lasting fault: Always stays Always.
void AddLasting(int& have, int count) {
  have = (count == TFaults::Always || have == TFaults::Always) ? TFaults::Always : have + count;
}

}  // namespace

void AddFault(TFaults& f, TFaultKind kind, int count) {
  switch (kind) {
    case TFaultKind::BadCrc: f.BadCrc += count; break;
    case TFaultKind::Nak: f.Nak += count; break;
    case TFaultKind::Noise: f.Noise += count; break;
    case TFaultKind::Late: f.Late += count; break;
    case TFaultKind::Silent: AddLasting(f.Silent, count); break;
    case TFaultKind::AnswerAll: AddLasting(f.AnswerAll, count); break;
    case TFaultKind::Stream: AddLasting(f.Stream, count); break;
  }
}

TEcrScript* TSimScript::Find(int ecr) {
  for (auto& e : Ecrs)
    if (e.Ecr == ecr) return &e;
  return nullptr;
}

const TEcrScript* TSimScript::Find(int ecr) const {
  return const_cast<TSimScript*>(this)->Find(ecr);
}

TEcrScript DefaultEcr(int ecr) {
  TEcrScript e;
  e.Ecr = ecr;
  char buf[8];
  std::snprintf(buf, sizeof buf, "0047%02d", ecr % 100);
  e.Serial = buf;
  return e;
}

std::string Expand(std::string_view tmpl, const TEcrScript& e, int blockNo,
                   std::optional<std::string_view> text, long seq) {
  std::string out;
  for (std::size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] != '{') {
      out += tmpl[i];
      continue;
    }
    const std::size_t close = tmpl.find('}', i);
    if (close == std::string_view::npos) Fail("unclosed placeholder in \"" + std::string(tmpl) + "\"");
    const std::string_view name = tmpl.substr(i + 1, close - i - 1);
    if (name == "serial") out += e.Serial;
    else if (name == "block") out += std::to_string(blockNo);
    else if (name == "ecr") out += std::to_string(e.Ecr);
    else if (name == "seq") out += std::to_string(seq);
    else if (name == "text" && text) out += *text;
    else Fail("unknown placeholder {" + std::string(name) + "}");
    i = close;
  }
  return out;
}

void ValidateEcr(const TEcrScript& e) {
  CheckInline(e);
  for (const auto& o : e.Online) CheckOnline(e, o.Text);
  CheckReply(e, e.DefaultReply);
  for (const auto& [letter, r] : e.Replies) CheckReply(e, r);
}

TSimScript ParseSimScript(std::string_view text, std::string_view name) {
  TScriptBuilder b;
  int lineNo = 0;
  auto where = [&] { return std::string(name) + ":" + std::to_string(lineNo) + ": "; };
  std::size_t pos = 0;
  while (pos <= text.size()) {
    const std::size_t nl = std::min(text.find('\n', pos), text.size());
    ++lineNo;
    try {
      const auto tok = Tokenize(text.substr(pos, nl - pos));
      if (!tok.empty()) b.Line(tok);
    } catch (const TScriptError& err) {
      throw TScriptError(where() + err.what());
    }
    pos = nl + 1;
  }
  TSimScript script = std::move(b).Finish();
  for (const auto& e : script.Ecrs) {
    try {
      ValidateEcr(e);
    } catch (const TScriptError& err) {
      throw TScriptError(std::string(name) + ": ECR " + std::to_string(e.Ecr) + ": " + err.what());
    }
  }
  return script;
}

TSimScript LoadSimScript(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw TScriptError(path + ": cannot read the script file");
  std::ostringstream ss;
  ss << in.rdbuf();
  return ParseSimScript(ss.str(), path);
}

}  // namespace kassiro::ecrsim
