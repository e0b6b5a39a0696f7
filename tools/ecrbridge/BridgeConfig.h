// ecrbridge's configuration: command-line options, or the same names in a config file
// (`--config FILE`, lines `name = value`), checked as a whole before anything starts.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kassiro::bridge {

struct TBrokerAddress {
  bool Tls = false;
  std::string Host;
  std::uint16_t Port = 0;
};

struct TBridgeConfig {
  std::string ServerHost = "127.0.0.1";
  std::uint16_t ServerPort = 4999;
  std::string SetPassword;
  std::vector<std::uint8_t> Ecrs;   // ascending, no repeats
  bool MainSet = false;             // take ST_ERS instead of the listening set ST_ERSL
  std::string Shop;
  TBrokerAddress Broker{false, "127.0.0.1", 1883};
  std::string ClientId;             // default: kassiro-bridge-<shop>
  std::string Username, Password;
  std::string TlsCaFile, TlsCaPath, TlsCertFile, TlsKeyFile;
  bool TlsInsecure = false;         // no check of the broker's host name
  std::filesystem::path SpoolDir;
  // The server's report journal, read in place of the report set's messages; empty: none.
  std::filesystem::path JournalDir;
  std::uint64_t SpoolSize = 64ull << 20;
  std::chrono::milliseconds SpoolFlush{100};  // the group commit's interval; 0: never flushed
  std::string Charset = "CP1251";
  std::chrono::milliseconds RetryMin{500}, RetryMax{30000};
  int KeepaliveSeconds = 30;
};

// What the command line asks for: a configuration to run with, or an end with an exit
// status and the text for stdout (--help, --version) or stderr (a mistake).
struct TCommandLine {
  std::optional<TBridgeConfig> Config;
  int Exit = 0;
  std::string Out, Err;
};

// exeDir: where the default spool folder goes (ecrbridge.spool beside the program).
TCommandLine ParseCommandLine(int argc, const char* const* argv, const std::filesystem::path& exeDir);

// "3", "1-4,7", "1 2 5": ECR numbers 1..99; an error text on failure.
std::optional<std::vector<std::uint8_t>> ParseEcrList(const std::vector<std::string>& items, std::string& error);
// "mqtt://host[:port]" or "mqtts://host[:port]" (1883 / 8883), or a bare "host[:port]".
std::optional<TBrokerAddress> ParseBrokerUrl(std::string_view url, std::string& error);
// "65536", "64K", "64M", "1G".
std::optional<std::uint64_t> ParseSize(std::string_view text);

std::string VersionText();  // "ecrbridge 0.1.0.0"

}  // namespace kassiro::bridge
