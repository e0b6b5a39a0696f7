#include "core/TheNewDefs.h"

#include <limits>
#include <string>

#include "core/LogFile.h"

namespace kassiro {

namespace {

// Offsets of the stored settings record.
constexpr std::size_t OFS_COM_PORT_NAME = 0;
constexpr std::size_t OFS_SPEED = 7;
constexpr std::size_t OFS_IP_PORT = 9;
constexpr std::size_t OFS_PASSWORD = 11;
constexpr std::size_t OFS_GLOBAL_BON = 21;
constexpr std::size_t OFS_SET_PW = 25;
constexpr std::size_t OFS_ER_DATA = 165;
constexpr std::size_t PW_FIELD_SIZE = PW_LEN + 1;
static_assert(OFS_SET_PW + SET_COUNT * PW_FIELD_SIZE == OFS_ER_DATA);
static_assert(OFS_ER_DATA + MAX_ECR_COUNT * ER_DATA_SIZE == INI_STRU_SIZE);

// Little-endian byte writer and reader over the record image.
class ImageWriter {
 public:
  explicit ImageWriter(TIniStruImage& img) : img_(img) {}
  void U8(std::size_t ofs, std::uint8_t v) { img_.at(ofs) = v; }
  void U16(std::size_t ofs, std::uint16_t v) {
    U8(ofs, static_cast<std::uint8_t>(v));
    U8(ofs + 1, static_cast<std::uint8_t>(v >> 8));
  }
  void I32(std::size_t ofs, std::int32_t v) {
    const auto u = static_cast<std::uint32_t>(v);
    for (std::size_t i = 0; i < 4; ++i) U8(ofs + i, static_cast<std::uint8_t>(u >> (8 * i)));
  }
  template <std::size_t Cap>
  void Str(std::size_t ofs, const BasicShortStr<Cap>& s) {
    U8(ofs, static_cast<std::uint8_t>(s.size()));
    for (std::size_t i = 0; i < s.size(); ++i) U8(ofs + 1 + i, s.byte(i));
  }

 private:
  TIniStruImage& img_;
};

class ImageReader {
 public:
  explicit ImageReader(const TIniStruImage& img) : img_(img) {}
  std::uint8_t U8(std::size_t ofs) const { return img_.at(ofs); }
  std::uint16_t U16(std::size_t ofs) const {
    return static_cast<std::uint16_t>(U8(ofs) | (U8(ofs + 1) << 8));
  }
  std::int32_t I32(std::size_t ofs) const {
    std::uint32_t u = 0;
    for (std::size_t i = 0; i < 4; ++i) u |= std::uint32_t{U8(ofs + i)} << (8 * i);
    return static_cast<std::int32_t>(u);
  }
  // A length byte beyond the capacity (a damaged file) is cut to the capacity.
  template <std::size_t Cap>
  BasicShortStr<Cap> Str(std::size_t ofs) const {
    const std::size_t len = std::min<std::size_t>(U8(ofs), Cap);
    return BasicShortStr<Cap>::fromBytes(img_.data() + ofs + 1, len);
  }

 private:
  const TIniStruImage& img_;
};

}  // namespace

TIniStruImage EncodeIniStru(const TIniStru& ini) {
  TIniStruImage img{};
  ImageWriter w(img);
  w.Str(OFS_COM_PORT_NAME, ini.ComPortName);
  w.U16(OFS_SPEED, ini.Speed);
  w.U16(OFS_IP_PORT, ini.IPPort);
  w.Str(OFS_PASSWORD, ini.sPassword);
  w.I32(OFS_GLOBAL_BON, ini.GlobalBon);
  for (int st = 1; st <= SET_COUNT; ++st) {
    w.Str(OFS_SET_PW + (st - 1) * PW_FIELD_SIZE, ini.SetPW[st]);
  }
  for (int e = 1; e <= MAX_ECR_COUNT; ++e) {
    const std::size_t ofs = OFS_ER_DATA + (e - 1) * ER_DATA_SIZE;
    const TERData& d = ini.ERData[e];
    w.I32(ofs + 0, d.Bon);
    w.U16(ofs + 4, d.Line);
    w.I32(ofs + 6, d.SerNum);
    w.U8(ofs + 10, d.CurrMode);
    w.U8(ofs + 11, d.CurrTO);
  }
  return img;
}

TIniStru DecodeIniStru(const TIniStruImage& img) {
  const ImageReader r(img);
  TIniStru ini;
  ini.ComPortName = r.Str<6>(OFS_COM_PORT_NAME);
  ini.Speed = r.U16(OFS_SPEED);
  ini.IPPort = r.U16(OFS_IP_PORT);
  ini.sPassword = r.Str<PW_LEN>(OFS_PASSWORD);
  ini.GlobalBon = r.I32(OFS_GLOBAL_BON);
  for (int st = 1; st <= SET_COUNT; ++st) {
    ini.SetPW[st] = r.Str<PW_LEN>(OFS_SET_PW + (st - 1) * PW_FIELD_SIZE);
  }
  for (int e = 1; e <= MAX_ECR_COUNT; ++e) {
    const std::size_t ofs = OFS_ER_DATA + (e - 1) * ER_DATA_SIZE;
    TERData& d = ini.ERData[e];
    d.Bon = r.I32(ofs + 0);
    d.Line = r.U16(ofs + 4);
    d.SerNum = r.I32(ofs + 6);
    d.CurrMode = r.U8(ofs + 10);
    d.CurrTO = r.U8(ofs + 11);
  }
  return ini;
}

void Session::ClearStructures() {
  if (Ecrs) {
    // The ECR was told these were taken; the log at least says which went nowhere.
    for (int e = 1; e <= MAX_ECR_COUNT; ++e) {
      if (!(*Ecrs)[static_cast<std::size_t>(e)].KeptReport.empty())
        LogAddLine("ECR " + std::to_string(e) +
                   ": the report kept for the next holder of the report set is dropped: the server stops");
    }
  }
  Ecrs = std::make_unique<TEcrs>();
  InSeans = {};
  WaitRes = {};
  ServerStatus = 0;
}

namespace {

// Draws the next receipt number from the global counter. Numbers are 1..INT32_MAX;
// after INT32_MAX the counter starts again at 1, and a counter that a damaged or
// hand-made file left at 0 or below also restarts at 1, so 0 ("no receipt") and
// negative numbers are never handed out and nothing overflows.
std::int32_t DrawGlobalBon(TIniStru& ini) {
  const std::int32_t bon = ini.GlobalBon >= 1 ? ini.GlobalBon : 1;
  ini.GlobalBon = bon == std::numeric_limits<std::int32_t>::max() ? 1 : bon + 1;
  return bon;
}

// The ECR's current number, drawn first when it has none yet. A number below 0 can
// only come from a damaged file; it is never handed out either.
std::int32_t CurrentBon(TIniStru& ini, int Ecr, bool& drawn) {
  TERData& d = ini.ERData[Ecr];
  drawn = d.Bon <= 0;
  if (drawn) d.Bon = DrawGlobalBon(ini);
  return d.Bon;
}

void Store(Session& s, int Ecr) {
  s.BonChange[static_cast<std::size_t>(Ecr)] = ++s.Changes;
  if (s.SaveSettings) s.SaveSettings(s.IniStru);
}

}  // namespace

// A drawn number is stored before it leaves the server: were it kept in memory only, a
// restart after a crash would hand it out a second time.
std::int32_t GetBon(Session& s, int Ecr) {
  bool drawn = false;
  const std::int32_t bon = CurrentBon(s.IniStru, Ecr, drawn);
  if (drawn) Store(s, Ecr);
  return bon;
}

// One store for both draws: the finished number and the next one.
std::int32_t GetIncBon(Session& s, int Ecr) {
  bool drawn = false;
  const std::int32_t finished = CurrentBon(s.IniStru, Ecr, drawn);
  TERData& d = s.IniStru.ERData[Ecr];
  d.Bon = DrawGlobalBon(s.IniStru);
  d.Line = 1;
  Store(s, Ecr);
  return finished;
}

// Line numbers stop at 65535: a receipt that long keeps its last number rather than
// wrapping to 0, which no line ever carries.
std::uint16_t GetIncLine(Session& s, int Ecr) {
  TERData& d = s.IniStru.ERData[Ecr];
  const std::uint16_t line = d.Line;
  if (d.Line < std::numeric_limits<std::uint16_t>::max()) ++d.Line;
  return line;
}

std::uint16_t GetLine(Session& s, int Ecr) { return s.IniStru.ERData[Ecr].Line; }

void RecordMode(Session& s, int Ecr, std::uint8_t mode) {
  TERData& data = s.IniStru.ERData[Ecr];
  data.CurrMode = mode;
  data.CurrTO = DISP_TO;
  (*s.Ecrs)[Ecr].ModeSince = std::chrono::steady_clock::now();
}

}  // namespace kassiro
