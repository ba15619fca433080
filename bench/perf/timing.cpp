// vboard bench, timing: every wait the tools fix, measured against the length it should have.
#include <chrono>
#include <fstream>
#include <thread>

#include "measure.h"
#include "bench.h"
#include "standins/mcuload-recorder.h"
#include "standins/xterm-recorder.h"

namespace perf {

namespace programmer = bench::programmer;
using bench::kButtonPin;
using bench::kLoader;
using bench::waitFor;

void Perf::timing() {
  section("timing: mcuflash", [&] {
    programmer::Fixture f;
    // The line's low phase, and the time from its rise to the programmer's start.
    auto upload = [&](std::vector<std::string> argv) {
      RunOptions r = f.uploadOptions(std::move(argv));
      r.timeoutMs = kRunMs;
      const RunResult res = f.upload(r);
      expect(res.status == 0, "mcuflash: " + said(res));
      const auto w = pulse(*f.board, "mcuflash");
      const auto ups = f.uploads();
      expect(ups.size() == 1, "mcuflash: the programmer did not start once");
      return std::pair{msBetween(w[0].us, w[1].us), msBetween(w[1].us, ups[0].startUs)};
    };
    // The rise to the start holds the programmer's fork and exec besides the sinc wait, and
    // they take what the machine's load makes them: a run with sinc 0 right after each
    // default run (sinc 2 ms) takes them out.
    const auto s = repeat(runs_, [&] {
      const auto [low, raised] = upload({"mcuflash", programmer::kSketchFile});
      const auto [low0, raised0] = upload({"mcuflash", programmer::kSketchFile, "0"});
      return std::vector<double>{low, raised - raised0};
    });
    add(timingRow("mcuflash: reset line low before raising", 100, s[0]));
    add(timingRow("mcuflash: sinc, raised to programmer start (less the same with sinc 0)", 2, s[1]));
  });
  section("timing: boardflash", [&] {
    programmer::Fixture f;
    const auto s = repeat(runs_, [&] {
      RunOptions r = f.uploadOptions({"boardflash", programmer::kSketchFile});
      r.timeoutMs = kRunMs;
      const RunResult res = f.upload(r);
      expect(res.out == "Uploaded!\n" && res.status == 0, "boardflash: " + said(res));
      const auto w = pulse(*f.board, "boardflash");
      return std::vector<double>{msBetween(w[0].us, w[1].us)};
    });
    add(timingRow("boardflash: reset line low before raising", 500, s[0]));
  });
  section("timing: mcureset", [&] {
    bench::ScratchBoard board;
    const auto s = repeat(runs_, [&] {
      board->clearTrace();
      const RunResult res = bench::run(*board, runOptions({"mcureset"}));
      expect(res.out == "Orvix reset!\n" && res.status == 0, "mcureset: " + said(res));
      const auto w = pulse(*board, "mcureset");
      return std::vector<double>{msBetween(w[0].us, w[1].us), msBetween(w[1].us, w[2].us)};
    });
    add(timingRow("mcureset: reset line low", 500, s[0]));
    add(timingRow("mcureset: reset line high", 500, s[1]));
  });
  section("timing: sketchcheck and sketchquery", [&] {
    bench::ScratchBoard board;
    for (const std::string tool : {"sketchcheck", "sketchquery"}) {
      const std::string out = tool == "sketchcheck" ? "NO\n" : "";
      const int status = tool == "sketchcheck" ? 1 : 0;
      const auto s = repeat(runs_, [&] {
        const Exchange x = exchange(*board, runOptions({tool, "LinkTest"}), "/dev/ttyS0", silent);
        expect(x.run.out == out && x.run.status == status, tool + ": " + said(x.run));
        return std::vector<double>{x.run.seconds * 1000};
      });
      add(timingRow(tool + ": no answer, start to end (0.1 s of discarding, 2 s for a first byte)", 2100, s[0], 2));
    }
  });
  section("timing: whichsketch", [&] {
    bench::ScratchBoard board;
    const auto s = repeat(runs_, [&] {
      const Exchange x = exchange(*board, runOptions({"whichsketch"}), "/dev/ttyS0", silent);
      expect(x.run.out == "NO replay\n" && !x.heard.empty(), "whichsketch: " + said(x.run));
      return std::vector<double>{msBetween(x.heard.front().us, x.run.endUs)};
    });
    add(timingRow("whichsketch: no answer, query to end", 1000, s[0]));
  });
  section("timing: pinwait", [&] {
    bench::ScratchBoard board;
    const auto s = repeat(runs_, [&] {
      bench::loader::forget(board->dir());
      RunOptions r = runOptions({"pinwait", "-dig", "6", "1"});
      r.files[kLoader] = bench::standInDir() / bench::loader::kProgram;
      const Exchange x = exchange(*board, r, "/dev/ttyAMA0", silent);
      expect(x.run.status == 254 && x.run.out.starts_with("\nNo sketch ") && !x.heard.empty() &&
                 !x.run.outChunks.empty(),
             "pinwait: " + said(x.run));
      const auto calls = bench::loader::calls(board->dir());
      expect(!calls.empty(), "pinwait: the loader did not start");
      const std::int64_t announcedUs = x.run.outChunks.front().first;
      return std::vector<double>{msBetween(x.heard.front().us, announcedUs), msBetween(announcedUs, calls[0].us)};
    });
    add(timingRow("pinwait: no identity answer, query to announcement", 500, s[0]));
    add(timingRow("pinwait: announcement to loader start (closeSer's pause, with the shell's start)", 1000, s[1]));
  });
  section("timing: buttonwatch", [&] {
    bench::ScratchBoard board;
    const auto s = repeat(runs_, [&] {
      board->clearTrace();
      bench::Process p(*board, runOptions({"buttonwatch"}));
      std::this_thread::sleep_for(std::chrono::milliseconds(quick_ ? 1000 : 2000));
      stopGroup(p);
      p.wait();
      const auto reads = events(*board, "gpio-read", kButtonPin);
      expect(reads.size() >= 5, "buttonwatch: only " + std::to_string(reads.size()) + " reads of GPIO 24");
      return std::vector<double>{msBetween(reads.front().us, reads.back().us) / static_cast<double>(reads.size() - 1)};
    });
    add(timingRow("buttonwatch: poll period (reads of GPIO 24)", 100, s[0]));
  });
  section("timing: termbridge", [&] {
    const auto s = repeat(runs_, [&] {
      bench::ScratchBoard board;
      bench::Process p(*board, bridgeOptions({"termbridge"}));
      expect(waitFor([&] { return windowUp(*board); }, 5000), "termbridge: the window did not start");
      p.write("one\ntwo\n");
      expect(waitFor([&] { return bench::window::shown(board->dir()).find("two") != std::string::npos; }, 3000),
             "termbridge: the lines did not reach the window");
      stopGroup(p);
      p.wait();
      // The read of the window that completed each line.
      const std::string text = bench::window::shown(board->dir());
      expect(text.find("one") < text.find("two"), "termbridge: the window showed \"" + text + "\"");
      const std::size_t endOne = text.find("one") + 3, endTwo = text.find("two") + 3;
      std::int64_t oneUs = -1, twoUs = -1;
      std::size_t seen = 0;
      for (const auto& [us, n] : bench::window::reads(board->dir())) {
        seen += n;
        if (oneUs < 0 && seen >= endOne) oneUs = us;
        if (twoUs < 0 && seen >= endTwo) twoUs = us;
      }
      expect(oneUs > 0 && twoUs > 0, "termbridge: the window's reads are not recorded");
      return std::vector<double>{msBetween(oneUs, twoUs)};
    });
    add(timingRow("termbridge: one pass (two lines piped in, apart in the window)", 50, s[0]));
  });
}

}  // namespace perf
