// vboard's `rtc set DATE TIME` and `rtc regs HEX...`, on a board whose clock is held, so that
// what was written is what is read back.
//
//   rtc set: a real date and time of years 2000-2099 lands in registers 0-6 as the chip keeps
//   it: BCD seconds, minutes, 24-hour hours, the weekday 1 (Sunday) to 7, day, month, year of
//   the century; the registers past 6 keep their bytes.
//   rtc regs: the bytes land in the registers from 0 on; the registers past them keep theirs.
//
// Arguments that vboard refuses end it with a usage error: the harness leaves those out,
// asking the same question vboard asks of them (sscanf, or stoi in base 16 and 0-255).
#include <ctime>
#include <cstddef>
#include <cstdint>

#include "harness.h"
#include "vboard.cpp"

namespace {

std::optional<bench::Board> board;

std::uint8_t bcd(int v) { return static_cast<std::uint8_t>(v / 10 * 16 + v % 10); }

bool realDate(int y, int mo, int d, int h, int mi, int s) {
  if (y < 2000 || y > 2099 || mo < 1 || mo > 12 || d < 1 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59)
    return false;
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
  return d <= (mo == 2 && leap ? 29 : days[mo - 1]);
}

// 1 (Sunday) to 7: the C library's day of the week plus one.
int weekday(int y, int mo, int d) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = 12;
  const std::time_t t = timegm(&tm);
  std::tm out{};
  fuzz::require(gmtime_r(&t, &out) != nullptr, "gmtime");
  return out.tm_wday + 1;
}

void set(const std::vector<std::string>& words) {
  int y, mo, d, h, mi, s;
  if (words.size() != 2 || std::sscanf(words[0].c_str(), "%d-%d-%d", &y, &mo, &d) != 3 ||
      std::sscanf(words[1].c_str(), "%d:%d:%d", &h, &mi, &s) != 3)
    return;
  if (!realDate(y, mo, d, h, mi, s)) return;  // refused with a usage error
  const auto before = board->rtcRegisters();
  fuzz::require(rtc(*board, {"set", words[0], words[1]}) == 0, "rtc set succeeds");
  const auto after = board->rtcRegisters();
  for (std::size_t r = 7; r < after.size(); ++r) fuzz::require(after[r] == before[r], "rtc set leaves registers 7-18");
  const simboard::Registers expected{bcd(s), bcd(mi), bcd(h), static_cast<std::uint8_t>(weekday(y, mo, d)),
                                     bcd(d), bcd(mo), bcd(y % 100)};
  for (std::size_t r = 0; r < 7; ++r) fuzz::require(after[r] == expected[r], "rtc set writes the date as the chip keeps it");
}

void regs(const std::vector<std::string>& words) {
  if (words.empty() || words.size() > simboard::kRtcRegisters) return;
  std::vector<std::uint8_t> bytes;
  for (const auto& w : words) {
    try {
      std::size_t used = 0;
      const int v = std::stoi(w, &used, 16);
      if (used != w.size() || v < 0 || v > 0xFF) return;
      bytes.push_back(static_cast<std::uint8_t>(v));
    } catch (const std::exception&) {
      return;
    }
  }
  const auto before = board->rtcRegisters();
  std::vector<std::string> args{"regs"};
  args.insert(args.end(), words.begin(), words.end());
  fuzz::require(rtc(*board, args) == 0, "rtc regs succeeds");
  const auto after = board->rtcRegisters();
  for (std::size_t r = 0; r < after.size(); ++r)
    fuzz::require(after[r] == (r < bytes.size() ? bytes[r] : before[r]), "rtc regs writes its bytes from register 0 on");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  board.emplace(bench::Board::create(fuzz::scratchDir() / "board"));
  board->setRtcHold(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 4096) return -1;
  // The first byte chooses the command; the arguments, which cannot hold NUL, are the
  // NUL-separated runs of the rest.
  const auto words = fuzz::words(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  if (data[0] & 1)
    regs(words);
  else
    set(words);
  return 0;
}
