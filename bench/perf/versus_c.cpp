// vboard bench, the serial tools against the minimal C program doing the same in the same run:
// their overhead (start to first byte on the line, last answer byte to end) and their
// throughput (1 MiB relayed).
#include "measure.h"

namespace perf {
namespace {

// A serial tool and the minimal C program's exchange of the same kind: how each is run, what
// both print, and the two figures taken of them.
struct Serial {
  std::string tool, device;
  std::vector<std::string> toolArgv, cArgv;
  Script script;
  std::string out;  // what the tool and the C program both print
  std::string first, last;
  int firstTimeOuts = 0, lastTimeOuts = 0;  // read time-outs within each figure
};

}  // namespace

void Perf::overhead() {
  const std::string minimal = (kHelperDir / "minimal_query").string();
  const std::vector<Serial> exchanges = {
      {"sketchcheck", "/dev/ttyS0", {"sketchcheck", "LinkTest"}, {minimal, "sketchcheck", "LinkTest"}, linkTest,
       "YES\n", "start to first byte on the line (after 0.1 s of discarding)",
       "last answer byte to end (after 0.1 s of silence)", 1, 1},
      {"sketchquery", "/dev/ttyS0", {"sketchquery", "?"}, {minimal, "sketchquery", "?"}, linkTest, "LinkTest\r\n",
       "start to first byte on the line (after 0.1 s of discarding)",
       "last answer byte to end (after 0.1 s of silence)", 1, 1},
      {"sketchqueryblock", "/dev/ttyS0", {"sketchqueryblock", "?"}, {minimal, "sketchqueryblock", "?"}, linkTest,
       "LinkTest\n", "start to first byte on the line (after 0.1 s of discarding)",
       "last answer byte to end (waiting in poll)", 1, 0},
      {"whichsketch", "/dev/ttyS0", {"whichsketch"}, {minimal, "whichsketch"}, linkTest, "LinkTest\n\n",
       "start to first byte on the line", "last answer byte to end"},
      {"pinwait", "/dev/ttyAMA0", {"pinwait", "-dig", "6", "1"}, {minimal, "pinwait-dig", "6", "1"},
       [](SketchPeer& p) { p.onLine("?", "WaitSketch\r\n").onLine("INTD6=1", "OK\r\n"); }, "OK Pin changed!\n",
       "start to first byte on the line", "last answer byte (\"OK\") to end"},
      {"cmdlistener", "/dev/ttyS0", {"cmdlistener"}, {minimal, "cmdlistener-resp"},
       [](SketchPeer& p) { p.sendAt(0, "$$$Resp \n").onLine("", "$$$Cend \n"); },
       "Intercepting commands from serial port...\n  format: $$$Ardu command... 'lf'\n<GetAnswer\n>\n<End>\n",
       "start to first byte on the line (\"$$$Resp \" waiting)", "\"$$$Cend \" sent to end"},
  };
  section("overhead: sketchcheck without an answer", [&] {
    // The bounded wait of 2 s for a first byte, beside the same wait in plain C.
    bench::ScratchBoard board;
    auto once = [&](const std::vector<std::string>& argv) {
      const Exchange x = exchange(*board, runOptions(argv), "/dev/ttyS0", silent);
      expect(x.run.out == "NO\n" && x.run.status == 1, argv[0] + ": " + said(x.run));
      return std::vector<double>{x.run.seconds * 1000};
    };
    const auto [tool, c] = inTurns(runs_, [&] { return once({"sketchcheck", "LinkTest"}); },
                                   [&] { return once({minimal, "sketchcheck", "LinkTest"}); });
    add(overheadRow("sketchcheck: whole run without an answer (2 s for a first byte)", tool[0], c[0], 1));
  });
  for (const Serial& e : exchanges) {
    section("overhead: " + e.tool, [&] {
      bench::ScratchBoard board;
      auto once = [&](const std::vector<std::string>& argv) {
        const Exchange x = exchange(*board, runOptions(argv), e.device, e.script);
        expect(x.run.out == e.out && !x.heard.empty() && !x.sent.empty(),
               (argv[0] == e.tool ? e.tool : "minimal_query " + e.tool) + ": " + said(x.run));
        return std::vector<double>{msBetween(x.run.startUs, x.heard.front().us), msBetween(x.sent.back(), x.run.endUs)};
      };
      const auto [tool, c] = inTurns(runs_, [&] { return once(e.toolArgv); }, [&] { return once(e.cArgv); });
      add(overheadRow(e.tool + ": " + e.first, tool[0], c[0], e.firstTimeOuts));
      add(overheadRow(e.tool + ": " + e.last, tool[1], c[1], e.lastTimeOuts));
    });
  }
}

// 1 MiB relayed by the tool and by the minimal C program doing the same relay, in turns.
void Perf::throughput() {
  // Lines of 63 letters and a line end; the last one marks the end: 1 MiB in all.
  const std::string body(63, 'x'), mark = "END" + std::string(60, 'x');
  const std::size_t lines = kMiB / 64;
  std::string payload;
  for (std::size_t i = 0; i + 1 < lines; ++i) payload += body + "\n";
  payload += mark + "\n";
  const std::string minimal = (kHelperDir / "minimal_query").string();

  section("throughput: sketchquery", [&] {
    bench::ScratchBoard board;
    auto once = [&](const std::vector<std::string>& argv) {
      const Exchange x = exchange(*board, runOptions(argv, 120000), "/dev/ttyS0",
                                  [&](SketchPeer& p) { p.onLine("?", payload); });
      expect(x.run.out == payload && !x.sent.empty(),
             argv[0] + " copied " + std::to_string(x.run.out.size()) + " bytes of the 1 MiB answer");
      return std::vector<double>{static_cast<double>(kMiB) * 1000 / msBetween(x.sent.front(), x.run.outChunks.back().first)};
    };
    const auto [tool, c] = inTurns(runs_, [&] { return once({"sketchquery", "?"}); },
                                   [&] { return once({minimal, "sketchquery", "?"}); });
    add(throughputRow("sketchquery: 1 MiB answer relayed to standard output", tool[0], c[0]));
  });
  section("throughput: cmdlistener", [&] {
    bench::ScratchBoard board;
    const std::string command = "$$$Ardu yes " + body + " | head -n " + std::to_string(lines - 1) + "; echo " + mark + "\n";
    auto once = [&](const std::vector<std::string>& argv) {
      const Exchange x = exchange(*board, runOptions(argv, 120000), "/dev/ttyS0", [&](SketchPeer& p) {
        p.sendAt(0, command).onLine("OK", "$$$Resp \n").onLine(mark, "$$$Cend \n");
      });
      expect(x.run.status == 0 && x.sent.size() == 3, argv[0] + ": " + said(x.run));
      // What came back after "OK".
      const std::size_t from = x.heardBytes.find("OK\n");
      expect(from != std::string::npos, argv[0] + " did not answer \"OK\"");
      const std::string relayed = x.heardBytes.substr(from + 3);
      expect(relayed == payload, argv[0] + " relayed " + std::to_string(relayed.size()) + " bytes of 1 MiB");
      // When the sketch read the end of the mark's line.
      const std::size_t end = x.heardBytes.rfind(mark) + mark.size();
      std::size_t seen = 0;
      std::int64_t doneUs = -1;
      for (const auto& got : x.heard) {
        seen += got.bytes.size();
        if (seen >= end) {
          doneUs = got.us;
          break;
        }
      }
      expect(doneUs > 0, argv[0] + ": the end of the output is not in the record");
      return std::vector<double>{static_cast<double>(kMiB) * 1000 / msBetween(x.sent[1], doneUs)};
    };
    const auto [tool, c] = inTurns(runs_, [&] { return once({"cmdlistener"}); },
                                   [&] { return once({minimal, "cmdlistener-relay"}); });
    add(throughputRow("cmdlistener: 1 MiB of command output relayed to the line", tool[0], c[0]));
  });
}

}  // namespace perf
