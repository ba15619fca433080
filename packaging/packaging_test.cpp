// What `cmake --install` puts on the Pi, and orvix-setup run as a person runs it on the bench,
// where /home is an overlay: the links it makes never reach the host's /home.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "bench.h"
#include "install_tree.h"
#include "orvix_tools.h"

namespace fs = std::filesystem;
using namespace installtree;

namespace {

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, sep);) parts.push_back(part);
  return parts;
}

const std::vector<std::string> kPrograms = split(ORVIX_PROGRAMS, ',');

// Every file and link of the installed tree, relative to the prefix.
std::set<std::string> installedFiles() {
  std::set<std::string> files;
  const fs::path top = installed("");
  for (const auto& e : fs::recursive_directory_iterator(installRoot()))
    if (!e.is_directory() || e.is_symlink()) files.insert(fs::relative(e.path(), top).string());
  return files;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

TEST(Install, PutsTheProgramsTheirPagesAndTheHelpersWhereThePiLooks) {
  std::set<std::string> expected = {
      "bin/orvix-setup",
      "share/man/man8/orvix-setup.8.gz",
      "share/man/man8/clocksync.service.8.gz",
      "lib/orvix/mcuload",
      "lib/orvix/setup-check.sh",
      std::string(ORVIX_SYSTEMD_UNIT_DIR) + "/clocksync.service",
      std::string(ORVIX_UDEV_RULES_DIR) + "/99-orvix.rules",
      "share/doc/orvix-tools/copyright",
      "share/doc/orvix-tools/changelog.gz",
  };
  for (const auto& tool : kPrograms) {
    expected.insert("bin/" + tool);
    expected.insert("share/man/man1/" + tool + ".1.gz");
  }
  if (ORVIX_SKETCHES) {
    for (const char* sketch : {"LinkTest", "WaitSketch", "CommandSketch"}) {
      expected.insert(std::string("lib/orvix/mcusketches/") + sketch + ".hex");
      expected.insert(std::string("share/doc/orvix-tools/sketches/") + sketch + ".ino");
    }
  }
  EXPECT_EQ(kPrograms, orvix::kTools) << "every program the orvix_tool declarations name, and no other";
  EXPECT_EQ(installedFiles(), expected);
  for (const auto& rel : {std::string("bin/orvix-setup"), std::string("lib/orvix/mcuload"), "bin/" + kPrograms[0]}) {
    const auto perms = fs::status(installed(rel)).permissions();
    EXPECT_NE(perms & fs::perms::others_exec, fs::perms::none) << rel;
  }
}

TEST(Install, LeavesOutTheBenchTheSimulatedBoardAndTheTests) {
  for (const auto& file : installedFiles()) {
    for (const char* word : {"vboard", "vmcu", "standin", "recorder", "simboard", "bench", "wiringPi", "_test", "gtest"})
      EXPECT_EQ(file.find(word), std::string::npos) << file;
    // Nothing of the suite in a folder under bin: Debian allows none there.
    if (file.starts_with("bin/")) {
      EXPECT_EQ(file.find('/', 4), std::string::npos) << file;
    }
  }
}

TEST(Install, EachManualPageNamesItsProgramAndRendersWithoutWarnings) {
  std::vector<std::pair<std::string, std::string>> pages = {{"orvix-setup", "8"}, {"clocksync.service", "8"}};
  for (const auto& tool : kPrograms) pages.emplace_back(tool, "1");
  for (const auto& [name, section] : pages) {
    const fs::path gz = installed("share/man/man" + section + "/" + name + "." + section + ".gz");
    const auto text = shell("gzip -dc " + quote(gz.string()));
    ASSERT_EQ(text.status, 0) << gz;
    EXPECT_TRUE(text.out.starts_with(".TH " + upper(name) + " " + section + " ")) << name;
    EXPECT_NE(text.out.find(".SH NAME\n" + name + " \\- "), std::string::npos) << name;
    for (const char* part : {".SH SYNOPSIS\n", ".SH DESCRIPTION\n", ".SH EXIT STATUS\n", ".SH EXAMPLES\n"})
      EXPECT_NE(text.out.find(part), std::string::npos) << name << ": " << part;
    const auto rendered = shell("gzip -dc " + quote(gz.string()) + " | groff -man -Tutf8 -ww -z");
    EXPECT_EQ(rendered.status, 0) << name;
    EXPECT_EQ(rendered.out, "") << name;
  }
}

TEST(Install, ClockUnitPassesSystemdsCheckAndRunsTheInstalledClocksync) {
  const std::string unit = bench::slurp(installed(std::string(ORVIX_SYSTEMD_UNIT_DIR) + "/clocksync.service"));
  EXPECT_NE(unit.find("\nExecStart=" + (kPrefix / "bin/clocksync").string() + "\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("\nType=oneshot\n"), std::string::npos);
  // systemd's own reading of the unit, against the installed tree: ExecStart must be there.
  const auto verify = shell("systemd-analyze verify --man=no --root=" + quote(installRoot().string()) +
                            " clocksync.service");
  EXPECT_EQ(verify.status, 0) << verify.out;
  EXPECT_EQ(verify.out, "");
}

namespace {

// orvix-setup under a prefix of the test's own, with a loader and two sketches, run on the bench.
class Setup : public ::testing::Test {
 protected:
  void SetUp() override {
    hostBefore_ = hostHomes();
    prefix_ = fs::canonical(tmp_.path()) / "usr";
    fs::create_directories(prefix_ / "bin");
    fs::copy_file(installed("bin/orvix-setup"), prefix_ / "bin/orvix-setup");
    fs::create_directories(lib());
    fs::copy_file(installed("lib/orvix/setup-check.sh"), lib() / "setup-check.sh");
    writeFile(lib() / "mcuload", "#!/bin/sh\n");
    writeFile(lib() / "mcusketches/WaitSketch.hex", ":00000001FF\n");
    writeFile(lib() / "mcusketches/LinkTest.hex", ":00000001FF\n");
    writeFile(tmp_.path() / "avrdude", "#!/bin/sh\n");
  }
  void TearDown() override { EXPECT_EQ(hostHomes(), hostBefore_) << "the host's /home changed"; }

  fs::path lib() const { return prefix_ / "lib/orvix"; }

  // Runs `script` in sh on the bench: $setup is the command, `list` shows what is under the
  // fixed homes (path, type, link target). /usr/bin/avrdude is there, as Debian's package puts it.
  bench::RunResult onBench(const std::string& script, fs::path setup = {}) {
    if (setup.empty()) setup = prefix_ / "bin/orvix-setup";
    bench::RunOptions runOptions{.argv = {"/bin/sh", "-c",
                                          "setup=$1; list() { find /home/pi /home/velmont -printf '%p %y %l\\n' 2>/dev/null | "
                                          "LC_ALL=C sort; }; " +
                                              script,
                                          "sh", setup.string()}};
    runOptions.files["/usr/bin/avrdude"] = tmp_.path() / "avrdude";
    return bench::run(*board_, runOptions);
  }

  // The lines of a first run, in order.
  std::string madeAll() const {
    const std::string l = lib().string();
    std::string out =
        "made /home/pi\nmade /home/pi/bin\nmade /home/pi/bin/mcusketches\nmade /home/velmont\n"
        "linked /home/pi/bin/mcuload -> " + l + "/mcuload\n"
        "linked /home/pi/bin/mcusketches/WaitSketch.hex -> " + l + "/mcusketches/WaitSketch.hex\n"
        "linked /home/pi/bin/mcusketches/LinkTest.hex -> " + l + "/mcusketches/LinkTest.hex\n"
        "linked /home/velmont/avrdude -> /usr/bin/avrdude\n"
        "linked /home/velmont/avrdude.conf -> /etc/avrdude.conf\n";
    return out + confNote();
  }
  // The one target the bench cannot provide: the host's own avrdude configuration.
  static std::string confNote() {
    return fs::exists("/etc/avrdude.conf") ? "" : "note: /etc/avrdude.conf does not exist yet\n";
  }
  std::string listAll() const {
    const std::string l = lib().string();
    return "/home/pi d \n"
           "/home/pi/bin d \n"
           "/home/pi/bin/mcuload l " + l + "/mcuload\n"
           "/home/pi/bin/mcusketches d \n"
           "/home/pi/bin/mcusketches/LinkTest.hex l " + l + "/mcusketches/LinkTest.hex\n"
           "/home/pi/bin/mcusketches/WaitSketch.hex l " + l + "/mcusketches/WaitSketch.hex\n"
           "/home/velmont d \n"
           "/home/velmont/avrdude l /usr/bin/avrdude\n"
           "/home/velmont/avrdude.conf l /etc/avrdude.conf\n";
  }

  bench::TempDir tmp_;
  bench::ScratchBoard board_;
  fs::path prefix_;
  std::string hostBefore_;
};

}  // namespace

TEST_F(Setup, LinksTheLoaderTheSketchesAndAvrdudeIntoFreshHomes) {
  const auto r = onBench("\"$setup\"; echo \"status $?\"; list");
  EXPECT_EQ(r.out, madeAll() + "status 0\n" + listAll());
  EXPECT_EQ(r.err, "");
}

TEST_F(Setup, RunAgainItFindsItsOwnLinksAndChangesNothing) {
  const std::string l = lib().string();
  const auto r = onBench("\"$setup\" >/dev/null; \"$setup\"; echo \"status $?\"; list");
  EXPECT_EQ(r.out, "already linked /home/pi/bin/mcuload -> " + l + "/mcuload\n"
                   "already linked /home/pi/bin/mcusketches/WaitSketch.hex -> " + l + "/mcusketches/WaitSketch.hex\n"
                   "already linked /home/pi/bin/mcusketches/LinkTest.hex -> " + l + "/mcusketches/LinkTest.hex\n"
                   "already linked /home/velmont/avrdude -> /usr/bin/avrdude\n"
                   "already linked /home/velmont/avrdude.conf -> /etc/avrdude.conf\n" +
                       confNote() + "status 0\n" + listAll());
}

TEST_F(Setup, RefusesAFileItDidNotMakeAndThenChangesNothingAtAll) {
  // A programmer of the user's own at the fixed path: it must survive, and nothing else is made.
  const auto r = onBench("mkdir -p /home/velmont && echo mine > /home/velmont/avrdude; \"$setup\"; "
                         "echo \"status $?\"; list; cat /home/velmont/avrdude");
  EXPECT_EQ(r.out, "status 1\n/home/velmont d \n/home/velmont/avrdude f \nmine\n");
  EXPECT_EQ(r.err,
            "orvix-setup: /home/velmont/avrdude is in the way: not a link made by orvix-setup\n"
            "orvix-setup: nothing changed; move those aside and run it again\n");
}

TEST_F(Setup, RefusesALinkToSomewhereElseAndADirectoryInTheWay) {
  const auto r = onBench(
      "mkdir -p /home/pi/bin/mcuload && mkdir -p /home/velmont && ln -s /opt/my.conf /home/velmont/avrdude.conf && "
      "\"$setup\"; echo \"status $?\"; list");
  EXPECT_EQ(r.out,
            "status 1\n/home/pi d \n/home/pi/bin d \n/home/pi/bin/mcuload d \n/home/velmont d \n"
            "/home/velmont/avrdude.conf l /opt/my.conf\n");
  EXPECT_EQ(r.err,
            "orvix-setup: /home/pi/bin/mcuload is in the way: not a link made by orvix-setup\n"
            "orvix-setup: /home/velmont/avrdude.conf is in the way: not a link made by orvix-setup\n"
            "orvix-setup: nothing changed; move those aside and run it again\n");
}

TEST_F(Setup, RefusesAFileWhereADirectoryMustGo) {
  const auto r = onBench("mkdir -p /home/pi && echo x > /home/pi/bin; \"$setup\"; echo \"status $?\"; list");
  EXPECT_EQ(r.out, "status 1\n/home/pi d \n/home/pi/bin f \n");
  EXPECT_EQ(r.err,
            "orvix-setup: /home/pi/bin is in the way: not a directory\n"
            "orvix-setup: nothing changed; move those aside and run it again\n");
}

TEST_F(Setup, KeepsWhatTheUserAlreadyHasInTheHomes) {
  // The user's own files beside the links are not the command's business.
  const auto r = onBench(
      "mkdir -p /home/pi/bin/mcusketches && echo mine > /home/pi/bin/mcusketches/Blink.hex && \"$setup\" >/dev/null; "
      "echo \"status $?\"; cat /home/pi/bin/mcusketches/Blink.hex; list | grep -c ' l '");
  EXPECT_EQ(r.out, "status 0\nmine\n5\n");
}

TEST_F(Setup, LinksATargetThatIsStillMissingAndSaysSo) {
  fs::remove(lib() / "mcusketches/WaitSketch.hex");
  fs::remove(lib() / "mcuload");
  const std::string l = lib().string();
  const auto r = onBench("\"$setup\"; echo \"status $?\"; readlink /home/pi/bin/mcusketches/WaitSketch.hex");
  EXPECT_EQ(r.out,
            "made /home/pi\nmade /home/pi/bin\nmade /home/pi/bin/mcusketches\nmade /home/velmont\n"
            "linked /home/pi/bin/mcuload -> " + l + "/mcuload\n"
            "note: " + l + "/mcuload does not exist yet\n"
            "linked /home/pi/bin/mcusketches/WaitSketch.hex -> " + l + "/mcusketches/WaitSketch.hex\n"
            "note: " + l + "/mcusketches/WaitSketch.hex does not exist yet\n"
            "linked /home/pi/bin/mcusketches/LinkTest.hex -> " + l + "/mcusketches/LinkTest.hex\n"
            "linked /home/velmont/avrdude -> /usr/bin/avrdude\n"
            "linked /home/velmont/avrdude.conf -> /etc/avrdude.conf\n" +
                confNote() + "status 0\n" + l + "/mcusketches/WaitSketch.hex\n");
}

TEST_F(Setup, RemoveTakesAwayOnlyItsOwnLinks) {
  const auto r = onBench(
      "\"$setup\" >/dev/null; rm /home/velmont/avrdude; echo mine > /home/velmont/avrdude; "
      "\"$setup\" -r; echo \"status $?\"; list; \"$setup\" -r; echo \"status $?\"");
  EXPECT_EQ(r.out,
            "removed /home/pi/bin/mcuload\n"
            "removed /home/pi/bin/mcusketches/WaitSketch.hex\n"
            "removed /home/pi/bin/mcusketches/LinkTest.hex\n"
            "left /home/velmont/avrdude: not a link made by orvix-setup\n"
            "removed /home/velmont/avrdude.conf\n"
            "removed /home/pi/bin/mcusketches\n"
            "removed /home/pi/bin\n"
            "removed /home/pi\n"
            "left /home/velmont: not empty\n"
            "status 0\n"
            "/home/velmont d \n/home/velmont/avrdude f \n"
            "left /home/velmont/avrdude: not a link made by orvix-setup\n"
            "left /home/velmont: not empty\n"
            "status 0\n");
}

TEST_F(Setup, HelpNamesItsPrefixAndABadWordIsAUsageError) {
  const std::string l = lib().string();
  const std::string help =
      "Usage: orvix-setup [-c | --fix [--dry-run] | -r | -h]\n"
      "Links what the Orvix tools expect at fixed paths:\n"
      "  /home/pi/bin/mcuload               -> " + l + "/mcuload\n"
      "  /home/pi/bin/mcusketches/NAME.hex  -> " + l + "/mcusketches/NAME.hex\n"
      "  /home/velmont/avrdude              -> /usr/bin/avrdude\n"
      "  /home/velmont/avrdude.conf         -> /etc/avrdude.conf\n"
      "Nothing already there is replaced, unless it is one of these links.\n"
      "  -c, --check  check the set-up of this Pi, one line per item, and change nothing:\n"
      "               the board UART and its names, I2C, the groups, these paths\n"
      "  --fix        do what the check names: the lines of config.txt and cmdline.txt\n"
      "               (each backed up once beside it), /etc/modules, hciuart, the groups,\n"
      "               these links; it says what needs a reboot\n"
      "  --dry-run    with --fix: print the edits as a diff, and the commands; change nothing\n"
      "  -r           remove these links, where they still point where orvix-setup put them,\n"
      "               and the directories made for them once empty\n"
      "  -h           this help\n"
      "Run it as root: sudo orvix-setup\n";
  auto r = onBench("\"$setup\" -h; echo \"status $?\"; list");
  EXPECT_EQ(r.out, help + "status 0\n");
  for (const char* words : {"-x", "-r -r", "--help", "-c -c", "--dry-run"}) {
    r = onBench(std::string("\"$setup\" ") + words + "; echo \"status $?\"; list");
    EXPECT_EQ(r.out, "status 2\n") << words;
    EXPECT_EQ(r.err, help) << words;
  }
}

TEST_F(Setup, TheInstalledCommandLinksTheInstalledLoaderAndSketches) {
  // The set-up command as installed, with the loader and sketches its install rules put beside it.
  const auto r = onBench(
      "\"$setup\" >/dev/null; echo \"status $?\"; cmp /home/pi/bin/mcuload " +
          quote(installed("lib/orvix/mcuload").string()) +
          " && test -x /home/pi/bin/mcuload && echo loader; test -f /home/pi/bin/mcusketches/WaitSketch.hex && echo "
          "sketch",
      installed("bin/orvix-setup"));
  EXPECT_EQ(r.out, std::string("status 0\nloader\n") + (ORVIX_SKETCHES ? "sketch\n" : ""));
  EXPECT_EQ(r.err, "");
}
