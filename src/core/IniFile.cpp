#include "core/IniFile.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <system_error>
#include <vector>

#include "platform/AtomicReplace.h"
#include "platform/OwnFile.h"
#include "util/Trim.h"
#include "util/WholeNumber.h"

namespace kassiro {

namespace {

bool SameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return lower(x) == lower(y);
  });
}

// One line of the text with its ending ("\n", "\r\n" or none on the last line).
struct Line {
  std::string_view body;
  std::string_view ending;
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  while (!text.empty()) {
    const auto nl = text.find('\n');
    std::string_view raw = nl == std::string_view::npos ? text : text.substr(0, nl + 1);
    text.remove_prefix(raw.size());
    std::size_t bodyLen = raw.size();
    // A CR belongs to the ending only in front of the LF: a lone CR (a file cut after
    // it) stays in the body, so that a line appended behind it starts a line of its own.
    if (bodyLen > 0 && raw[bodyLen - 1] == '\n') {
      --bodyLen;
      if (bodyLen > 0 && raw[bodyLen - 1] == '\r') --bodyLen;
    }
    lines.push_back({raw.substr(0, bodyLen), raw.substr(bodyLen)});
  }
  return lines;
}

// A UTF-8 byte order mark written by an editor is not part of the first line.
std::string_view WithoutBom(std::string_view text) {
  constexpr std::string_view bom = "\xEF\xBB\xBF";
  return text.starts_with(bom) ? text.substr(bom.size()) : text;
}

// The section name of a "[name]" line.
std::optional<std::string_view> SectionName(std::string_view body) {
  const std::string_view t = Trim(body);
  if (t.size() < 2 || t.front() != '[') return std::nullopt;
  const auto close = t.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(t.substr(1, close - 1));
}

bool IsComment(std::string_view body) {
  const std::string_view t = Trim(body);
  return t.starts_with(';') || t.starts_with('#');
}

// The key and value of a "key=value" line.
std::optional<std::pair<std::string_view, std::string_view>> KeyValue(std::string_view body) {
  if (IsComment(body)) return std::nullopt;
  const auto eq = body.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return std::pair{Trim(body.substr(0, eq)), Trim(body.substr(eq + 1))};
}

bool IsKeyLine(std::string_view body, std::string_view key) {
  const auto kv = KeyValue(body);
  return kv && SameName(kv->first, key);
}

// Where a section's lines are: [first, end) after its header, and the position after
// its last line that is neither blank nor a comment (where a new key goes).
struct SectionSpan {
  std::size_t header, end, insertAt;
};

std::optional<SectionSpan> FindSection(const std::vector<Line>& lines, std::string_view section) {
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto name = SectionName(lines[i].body);
    if (!name || !SameName(*name, section)) continue;
    SectionSpan span{i, i + 1, i + 1};
    for (; span.end < lines.size() && !SectionName(lines[span.end].body); ++span.end) {
      if (!Trim(lines[span.end].body).empty() && !IsComment(lines[span.end].body)) {
        span.insertAt = span.end + 1;
      }
    }
    return span;
  }
  return std::nullopt;
}

// The file's bytes; empty for a missing file, nothing when it can't be read or is not
// a regular file of its own (problem says why). The file holds one number, so a file
// larger than INI_MAX_BYTES is refused rather than read without end.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& p, std::string& problem) {
  platform::TOwnFile file = platform::OpenOwnFile(p, {});
  if (!file.Valid()) {
    if (file.Error() == std::errc::no_such_file_or_directory) return std::string();
    problem = file.Problem();
    return std::nullopt;
  }
  std::string text(INI_MAX_BYTES + 1, '\0');
  const platform::TIoResult read =
      file.File().Read(std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
  if (read.error) {
    problem = read.error.message();
    return std::nullopt;
  }
  const std::size_t got = read.bytes;
  if (got > INI_MAX_BYTES) {
    problem = "it is larger than " + std::to_string(INI_MAX_BYTES) + " bytes";
    return std::nullopt;
  }
  text.resize(got);
  return text;
}

}  // namespace

std::optional<std::string> FindIniValue(std::string_view text, std::string_view section,
                                        std::string_view key) {
  const auto lines = SplitLines(WithoutBom(text));
  const auto span = FindSection(lines, section);
  if (!span) return std::nullopt;
  for (std::size_t i = span->header + 1; i < span->end; ++i) {
    const auto kv = KeyValue(lines[i].body);
    if (kv && SameName(kv->first, key)) return std::string(kv->second);
  }
  return std::nullopt;
}

std::string SetIniValue(std::string_view text, std::string_view section, std::string_view key,
                        std::string_view value) {
  const std::string_view body = WithoutBom(text);
  const auto lines = SplitLines(body);
  const std::string_view eol = !lines.empty() && lines[0].ending == "\r\n" ? "\r\n" : "\n";
  const std::string keyLine = std::string(key) + "=" + std::string(value);
  const auto span = FindSection(lines, section);
  std::size_t keyAt = lines.size();  // the key line to replace, if the section has one
  if (span) {
    for (std::size_t i = span->header + 1; i < span->end && keyAt == lines.size(); ++i) {
      if (IsKeyLine(lines[i].body, key)) keyAt = i;
    }
  }
  const bool insert = span && keyAt == lines.size();

  std::string out(text.substr(0, text.size() - body.size()));  // a byte order mark stays
  out.reserve(text.size() + keyLine.size() + section.size() + 8);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (insert && i == span->insertAt) out.append(keyLine).append(eol);
    const bool replaced = i == keyAt;
    out.append(replaced ? std::string_view(keyLine) : lines[i].body).append(lines[i].ending);
    // The last line may lack its ending; anything appended after it needs one.
    if (i + 1 == lines.size() && lines[i].ending.empty()) out.append(eol);
  }
  if (insert && span->insertAt == lines.size()) out.append(keyLine).append(eol);
  if (!span) out.append("[").append(section).append("]").append(eol).append(keyLine).append(eol);
  return out;
}

std::optional<int> ParseIniInteger(std::string_view value) {
  // One optional sign, then digits only.
  const bool plus = value.starts_with('+');
  if (plus) value.remove_prefix(1);
  const std::string_view digits = !plus && value.starts_with('-') ? value.substr(1) : value;
  if (digits.empty() || digits[0] < '0' || digits[0] > '9') return std::nullopt;
  return WholeNumber<int>(value);
}

std::optional<std::string> ReadIniString(const std::filesystem::path& iniPath, std::string_view section,
                                         std::string_view key, std::string* problem) {
  try {
    std::string why;
    const auto text = ReadWholeFile(iniPath, why);
    if (problem) *problem = why;
    if (!text) return std::nullopt;
    return FindIniValue(*text, section, key);
  } catch (...) {
    return std::nullopt;
  }
}

int ReadIniInteger(const std::filesystem::path& iniPath, std::string_view section,
                   std::string_view key, int def, std::string* problem) {
  const auto value = ReadIniString(iniPath, section, key, problem);
  if (!value) return def;
  return ParseIniInteger(*value).value_or(def);
}

bool WriteIniString(const std::filesystem::path& iniPath, std::string_view section,
                    std::string_view key, std::string_view value, std::string* problem) {
  std::string why;
  try {
    const auto text = ReadWholeFile(iniPath, why);
    // Unreadable: never replace what we could not keep.
    if (text) {
      if (const auto error = platform::ReplaceFileContent(iniPath, SetIniValue(*text, section, key, value)))
        why = error.message();
    }
  } catch (const std::exception& e) {
    why = e.what();
  }
  if (problem) *problem = why;
  return why.empty();
}

int ReadLanguageID(const std::filesystem::path& iniPath, int def, std::string* problem) {
  return ReadIniInteger(iniPath, INI_OPTIONS_SECTION, INI_LANGUAGE_KEY, def, problem);
}

bool WriteLanguageID(const std::filesystem::path& iniPath, int value, std::string* problem) {
  return WriteIniString(iniPath, INI_OPTIONS_SECTION, INI_LANGUAGE_KEY, std::to_string(value), problem);
}

}  // namespace kassiro
