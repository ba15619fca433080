// vboard's commands on the board's own parts: rtc, gpio, trace and commands (see vboard.h).
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include "bench.h"
#include "vboard.h"

namespace vboard {

namespace {

int pinNumber(const std::string& s) { return numberIn(s, 0, simboard::kPins - 1, "a GPIO pin"); }

void printRegisters(const bench::Board& board) {
  const auto regs = board.rtcRegisters();
  for (std::size_t r = 0; r < regs.size(); ++r) std::printf("%s%02x", r ? " " : "", regs[r]);
  std::printf("\n");
}

}  // namespace

int rtc(bench::Board board, const std::vector<std::string>& args) {
  if (args.empty()) usage("rtc needs a command");
  const std::string& cmd = args[0];
  if (cmd == "show") {
    const auto r = board.rtcRegisters();
    printRegisters(board);
    auto bcd = [](std::uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); };
    std::printf("20%02d-%02d-%02d %02d:%02d:%02d weekday %d\n", bcd(r[6]), bcd(r[5] & 0x1F), bcd(r[4] & 0x3F),
                bcd(r[2] & 0x3F), bcd(r[1] & 0x7F), bcd(r[0] & 0x7F), r[3] & 0x07);
    // The chip drives its interrupt output on a fired alarm 2 when INTCN and A2IE are set.
    const bool fired = r[15] & 0x02, interrupt = (r[14] & 0x06) == 0x06;
    std::printf("alarm 2 %02x %02x %02x, control %02x, status %02x: %s\n", r[11], r[12], r[13], r[14], r[15],
                !fired ? "not fired" : interrupt ? "fired, interrupt raised" : "fired, interrupt off");
  } else if (cmd == "set") {
    int y, mo, d, h, mi, s;
    if (args.size() != 3 || std::sscanf(args[1].c_str(), "%d-%d-%d", &y, &mo, &d) != 3 ||
        std::sscanf(args[2].c_str(), "%d:%d:%d", &h, &mi, &s) != 3)
      usage("rtc set takes YYYY-MM-DD HH:MM:SS");
    // The chip holds the years of one century, which the tools read as 20YY.
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    std::tm check = tm;
    timegm(&check);
    if (y < 2000 || y > 2099 || check.tm_year != tm.tm_year || check.tm_mon != tm.tm_mon ||
        check.tm_mday != tm.tm_mday || check.tm_hour != h || check.tm_min != mi || check.tm_sec != s)
      usage("rtc set: not a date and time of 2000-2099: " + args[1] + " " + args[2]);
    board.setRtcTime(y, mo, d, h, mi, s);
  } else if (cmd == "regs") {
    if (args.size() == 1) {
      printRegisters(board);
      return 0;
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 1; i < args.size(); ++i) {
      const int v = number(args[i], 16);
      if (v < 0 || v > 0xFF) usage("not a byte: " + args[i]);
      bytes.push_back(static_cast<std::uint8_t>(v));
    }
    if (bytes.size() > simboard::kRtcRegisters) usage("the clock has 19 registers");
    board.setRtcRegisters(bytes);
  } else if (const auto bus = simboard::busFromName(cmd); bus && bus != simboard::RtcBus::kOk) {
    board.setRtcBus(*bus);
  } else if (cmd == "absent") {
    board.setRtcBus(simboard::RtcBus::kNoBus);
  } else if (cmd == "present" || cmd == "ok") {
    board.setRtcBus(simboard::RtcBus::kOk);
    board.setRtcFailAfter(-1);
  } else if (cmd == "fail") {
    if (args.size() > 2) usage("rtc fail takes [N]");
    board.setRtcFailAfter(args.size() > 1 ? numberIn(args[1], 0, std::numeric_limits<int>::max(), "rtc fail") : 0);
  } else if (cmd == "hold" || cmd == "tick") {
    board.setRtcHold(cmd == "hold");
  } else {
    usage("unknown rtc command " + cmd);
  }
  return 0;
}

int gpio(bench::Board board, const std::vector<std::string>& args) {
  if (args.empty()) usage("gpio needs a command");
  if (args[0] == "set" && args.size() == 3) {
    const int pin = pinNumber(args[1]);
    const int level = number(args[2]);
    if (level != 0 && level != 1) usage("a level is 0 or 1");
    board.setInput(pin, level);
  } else if (args[0] == "clear" && args.size() == 2) {
    board.clearInput(pinNumber(args[1]));
  } else if (args[0] == "show") {
    static const char* const modes[] = {"input", "output"};
    static const char* const pulls[] = {"off", "down", "up"};
    std::vector<bool> touched(simboard::kPins);
    for (const auto& e : board.trace())
      if (e.op.rfind("gpio-", 0) == 0 && e.op != "gpio-setup" && !e.args.empty() && e.args[0] >= 0 &&
          e.args[0] < simboard::kPins)
        touched[e.args[0]] = true;
    for (int p = 0; p < simboard::kPins; ++p) {
      if (!touched[p]) continue;
      const auto s = board.pin(p);
      std::printf("%d %s level %d pull %s\n", p, modes[s.mode & 1], s.level, pulls[s.pull % 3]);
    }
  } else if ((args[0] == "deny" || args[0] == "allow") && args.size() == 1) {
    board.setGpioDenied(args[0] == "deny");
  } else {
    usage("gpio takes set PIN LEVEL, clear PIN, show, deny or allow");
  }
  return 0;
}

int trace(bench::Board board, const std::vector<std::string>& args) {
  if (!args.empty() && args[0] == "--clear") {
    board.clearTrace();
    return 0;
  }
  for (const auto& e : board.trace())
    std::printf("%lld %d %s\n", static_cast<long long>(e.us), e.pid, simboard::describe(e).c_str());
  return 0;
}

int commands(bench::Board board) {
  for (const auto& call : board.commands()) {
    for (std::size_t i = 0; i < call.size(); ++i) std::printf("%s%s", i ? " " : "", escape(call[i]).c_str());
    std::printf("\n");
  }
  return 0;
}

}  // namespace vboard
