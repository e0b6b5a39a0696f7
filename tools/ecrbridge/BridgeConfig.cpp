#include "ecrbridge/BridgeConfig.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <set>
#include <sstream>

#include "Version.h"
#include "ecrbridge/ReportJson.h"
#include "ecrbridge/Spool.h"
#include "platform/File.h"
#include "util/WholeNumber.h"

namespace kassiro::bridge {

namespace {

// "host", "host:port", "[v6]:port"; the port stays as it was when none is given.
bool SplitHostPort(std::string_view text, std::string& host, std::uint16_t& port) {
  std::string_view portText;
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return false;
    host = std::string(text.substr(1, close - 1));
    const auto rest = text.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) return false;
    if (!rest.empty()) portText = rest.substr(1);
  } else if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
    host = std::string(text.substr(0, colon));
    portText = text.substr(colon + 1);
  } else {
    host = std::string(text);
  }
  if (host.empty()) return false;
  if (text.find(':') != std::string_view::npos && !text.starts_with('[') && text.find(':') != text.rfind(':'))
    return false;  // a bare IPv6 address needs brackets
  if (!portText.empty() || text.ends_with(':')) {
    const auto p = WholeNumber<unsigned>(portText);
    if (!p || *p < 1 || *p > 65535) return false;
    port = static_cast<std::uint16_t>(*p);
  }
  return true;
}

bool Readable(const std::string& path) { return path.empty() || platform::MayRead(path); }

// The config file as the command line takes it: CLI11's reader would pass over a name it
// does not know, a line without '=' or a section, and the bridge would start on defaults.
// Each such line is refused with the file, the line number and the name.
class TStrictConfig : public CLI::ConfigTOML {
 public:
  TStrictConfig(std::set<std::string> names, const CLI::Option* file) : FNames(std::move(names)), FFile(file) {}

  std::vector<CLI::ConfigItem> from_config(std::istream& input) const override {
    std::ostringstream whole;
    whole << input.rdbuf();
    std::istringstream lines(whole.str());
    int number = 0;
    for (std::string line; std::getline(lines, line);) {
      ++number;
      CLI::detail::trim(line);
      if (line.empty() || line.front() == '#' || line.front() == ';') continue;
      const auto equals = line.find('=');
      std::string name = CLI::detail::trim_copy(line.substr(0, equals));
      if (line.front() == '[') Refuse(number, "'" + line + "': there are no sections, every line is name = value");
      if (equals == std::string::npos) Refuse(number, "'" + line + "' is not name = value");
      if (!FNames.contains(name)) Refuse(number, "unknown name '" + name + "'");
    }
    std::istringstream again(whole.str());
    return CLI::ConfigTOML::from_config(again);
  }

 private:
  [[noreturn]] void Refuse(int number, const std::string& what) const {
    throw CLI::ConfigError(FFile->as<std::string>() + " line " + std::to_string(number) + ": " + what);
  }

  std::set<std::string> FNames;
  const CLI::Option* FFile;
};

// The names a config file may use: every option's, but for those that only make sense
// on the command line.
std::set<std::string> ConfigNames(const CLI::App& app) {
  std::set<std::string> names;
  for (const CLI::Option* option : app.get_options()) {
    for (const std::string& name : option->get_lnames())
      if (name != "config" && name != "help" && name != "version") names.insert(name);
  }
  return names;
}

}  // namespace

std::string VersionText() {
  return "ecrbridge " + std::to_string(VERSION_MAJOR) + "." + std::to_string(VERSION_MINOR) + "." +
         std::to_string(VERSION_PATCH) + "." + std::to_string(VERSION_TWEAK);
}

std::optional<std::vector<std::uint8_t>> ParseEcrList(const std::vector<std::string>& items, std::string& error) {
  std::set<std::uint8_t> ecrs;
  for (const std::string& item : items) {
    std::string text = item;
    std::replace_if(text.begin(), text.end(), [](char c) { return c == ',' || c == ' ' || c == '\t'; }, '\n');
    std::istringstream parts(text);
    for (std::string part; std::getline(parts, part);) {
      if (part.empty()) continue;
      const auto dash = part.find('-');
      const auto from = WholeNumber<unsigned>(std::string_view(part).substr(0, dash));
      const auto to = dash == std::string::npos ? from : WholeNumber<unsigned>(std::string_view(part).substr(dash + 1));
      if (!from || !to || *from < 1 || *to > 99 || *from > *to) {
        error = "--ecr '" + part + "': ECR numbers are 1..99, as N or FROM-TO";
        return std::nullopt;
      }
      for (unsigned e = *from; e <= *to; ++e) ecrs.insert(static_cast<std::uint8_t>(e));
    }
  }
  if (ecrs.empty()) {
    error = "no ECR given: --ecr 1-4,7 (or ecr = 1-4,7 in the config file)";
    return std::nullopt;
  }
  return std::vector<std::uint8_t>(ecrs.begin(), ecrs.end());
}

std::optional<TBrokerAddress> ParseBrokerUrl(std::string_view url, std::string& error) {
  TBrokerAddress a;
  std::string_view rest = url;
  if (rest.starts_with("mqtts://")) {
    a.Tls = true;
    rest.remove_prefix(8);
  } else if (rest.starts_with("mqtt://")) {
    rest.remove_prefix(7);
  } else if (rest.find("://") != std::string_view::npos) {
    error = "--broker '" + std::string(url) + "': the scheme is mqtt:// or mqtts://";
    return std::nullopt;
  }
  if (rest.ends_with('/')) rest.remove_suffix(1);
  a.Port = a.Tls ? 8883 : 1883;
  if (rest.find('@') != std::string_view::npos || rest.find('/') != std::string_view::npos ||
      !SplitHostPort(rest, a.Host, a.Port)) {
    error = "--broker '" + std::string(url) +
            "': expected mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (credentials go in --username and --password)";
    return std::nullopt;
  }
  return a;
}

std::optional<std::uint64_t> ParseSize(std::string_view text) {
  std::uint64_t unit = 1;
  if (!text.empty()) {
    switch (text.back()) {
      case 'k': case 'K': unit = 1ull << 10; break;
      case 'm': case 'M': unit = 1ull << 20; break;
      case 'g': case 'G': unit = 1ull << 30; break;
      default: break;
    }
    if (unit != 1) text.remove_suffix(1);
  }
  const auto n = WholeNumber<std::uint64_t>(text);
  if (!n || *n > (1ull << 50) / unit) return std::nullopt;
  return *n * unit;
}

TCommandLine ParseCommandLine(int argc, const char* const* argv, const std::filesystem::path& exeDir) {
  TBridgeConfig c;
  std::string server = "127.0.0.1:4999", broker = "mqtt://127.0.0.1:1883", setMode = "listening";
  std::string spoolSize = "64M", spoolDir, journalDir;
  std::vector<std::string> ecrs;
  unsigned retryMin = 500, retryMax = 30000, spoolFlush = 100;
  bool version = false;

  CLI::App app{"ecrbridge: takes the report sets of a Kassiro server's ECRs and publishes every report "
               "as JSON on an MQTT broker.\nOptions may also stand in a config file (--config), one "
               "`name = value` per line, e.g. `ecr = 1-4,7`."};
  const CLI::Option* configFile = app.set_config("--config", "", "read options from this file");
  app.add_flag("--version", version, "print the version and end");
  app.add_option("--server", server, "the Kassiro server, HOST[:PORT]")->capture_default_str();
  app.add_option("--set-password", c.SetPassword, "the report set's password on the server");
  app.add_option("--ecr", ecrs, "ECRs whose reports to publish: 3, 1-4,7 (repeatable)");
  app.add_option("--set", setMode, "listening: take ST_ERSL, a back-office keeps ST_ERS; main: take ST_ERS")
      ->check(CLI::IsMember({"listening", "main"}))
      ->capture_default_str();
  app.add_option("--shop", c.Shop, "the shop's id in the topics: kassiro/<shop>/ecr/<n>/<event>");
  app.add_option("--broker", broker, "the MQTT broker, mqtt://HOST[:PORT] or mqtts://HOST[:PORT]")
      ->capture_default_str();
  app.add_option("--client-id", c.ClientId, "MQTT client id (default kassiro-bridge-<shop>)");
  app.add_option("--username", c.Username, "user name at the broker");
  app.add_option("--password", c.Password, "password at the broker (better in the config file)");
  app.add_option("--tls-ca-file", c.TlsCaFile, "CA certificate(s) that sign the broker's certificate (PEM)");
  app.add_option("--tls-ca-path", c.TlsCaPath, "folder of CA certificates (default for mqtts: /etc/ssl/certs)");
  app.add_option("--tls-cert", c.TlsCertFile, "client certificate (PEM), for brokers that ask for one");
  app.add_option("--tls-key", c.TlsKeyFile, "the client certificate's key (PEM, not encrypted)");
  app.add_flag("--tls-insecure", c.TlsInsecure, "do not check the broker's host name against its certificate");
  app.add_option("--spool-dir", spoolDir, "folder of the spool (default: ecrbridge.spool beside the program)");
  app.add_option("--journal", journalDir,
                 "read the reports from the server's report journal (kassirod.journal) instead of its "
                 "messages: none is lost while the bridge is away");
  app.add_option("--spool-size", spoolSize, "most bytes the spool holds: 65536, 512K, 64M, 1G")
      ->capture_default_str();
  app.add_option("--spool-flush", spoolFlush,
                 "flush the spool to disk at most every MS ms, a report is published once on disk; 0: never")
      ->check(CLI::Range(0u, 10000u))
      ->capture_default_str();
  app.add_option("--charset", c.Charset, "the server's code page for texts (iconv name)")->capture_default_str();
  app.add_option("--retry-min", retryMin, "first wait before connecting again, ms")->capture_default_str();
  app.add_option("--retry-max", retryMax, "longest wait before connecting again, ms")->capture_default_str();
  app.add_option("--keepalive", c.KeepaliveSeconds, "MQTT keep-alive, seconds")
      ->check(CLI::Range(5, 3600))
      ->capture_default_str();
  app.config_formatter(std::make_shared<TStrictConfig>(ConfigNames(app), configFile));

  TCommandLine result;
  std::ostringstream out, err;
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Every mistake ends with 2, whatever CLI11's own code for it.
    result.Exit = app.exit(e, out, err) == 0 ? 0 : 2;
    result.Out = out.str();
    result.Err = err.str();
    if (result.Exit != 0 && !result.Err.starts_with("ecrbridge:")) result.Err = "ecrbridge: " + result.Err;
    return result;
  }
  if (version) {
    result.Out = VersionText() + "\n";
    return result;
  }

  std::string error;
  const auto fail = [&](const std::string& text) {
    result.Exit = 2;
    result.Err = "ecrbridge: " + text + "\nRun with --help for more information.\n";
    return result;
  };
  if (c.Shop.empty()) return fail("no shop id: --shop ID (or shop = ID in the config file)");
  if (!ValidShopId(c.Shop)) return fail("--shop '" + c.Shop + "': 1..64 characters without '/', '+', '#'");
  if (!SplitHostPort(server, c.ServerHost, c.ServerPort))
    return fail("--server '" + server + "': expected HOST[:PORT]");
  const auto ecrList = ParseEcrList(ecrs, error);
  if (!ecrList) return fail(error);
  c.Ecrs = *ecrList;
  c.MainSet = setMode == "main";
  const auto address = ParseBrokerUrl(broker, error);
  if (!address) return fail(error);
  c.Broker = *address;
  if (!c.TlsCaFile.empty() || !c.TlsCaPath.empty() || !c.TlsCertFile.empty()) c.Broker.Tls = true;
  if (c.Broker.Tls && c.TlsCaFile.empty() && c.TlsCaPath.empty()) c.TlsCaPath = "/etc/ssl/certs";
  if (c.TlsCertFile.empty() != c.TlsKeyFile.empty()) return fail("--tls-cert and --tls-key go together");
  for (const std::string* f : {&c.TlsCaFile, &c.TlsCaPath, &c.TlsCertFile, &c.TlsKeyFile}) {
    if (!Readable(*f)) return fail("cannot read '" + *f + "'");
  }
  if (!c.Password.empty() && c.Username.empty()) return fail("--password needs --username");
  const auto size = ParseSize(spoolSize);
  if (!size || *size < TSpool::MIN_SIZE)
    return fail("--spool-size '" + spoolSize + "': a size of at least 16K (65536, 512K, 64M, 1G)");
  c.SpoolSize = *size;
  c.SpoolFlush = std::chrono::milliseconds(spoolFlush);
  c.SpoolDir = spoolDir.empty() ? exeDir / "ecrbridge.spool" : std::filesystem::path(spoolDir);
  if (!journalDir.empty()) {
    c.JournalDir = journalDir;
    std::error_code ec;
    if (!std::filesystem::is_directory(c.JournalDir, ec)) return fail("--journal '" + journalDir + "': not a folder");
  }
  if (!TCharset::Named(c.Charset)) return fail("--charset '" + c.Charset + "': not a code page iconv knows");
  if (retryMin < 10 || retryMax < retryMin || retryMax > 3600000)
    return fail("--retry-min and --retry-max: 10 <= min <= max <= 3600000 ms");
  c.RetryMin = std::chrono::milliseconds(retryMin);
  c.RetryMax = std::chrono::milliseconds(retryMax);
  if (c.ClientId.empty()) c.ClientId = "kassiro-bridge-" + c.Shop;
  result.Config = c;
  return result;
}

}  // namespace kassiro::bridge
