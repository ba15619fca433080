// The package's maintainer scripts run as dpkg runs them, on the bench: the installed tree laid
// over its prefix, /run saying that udev and systemd are running, and stand-ins for udevadm,
// systemctl and deb-systemd-helper first on PATH, which record their calls. Nothing of it
// reaches the host's devices, units or /home.
#include <gtest/gtest.h>
#include <unistd.h>

#include "bench.h"
#include "install_tree.h"

namespace fs = std::filesystem;
using namespace installtree;

namespace {

const fs::path kScripts = ORVIX_MAINTAINER_SCRIPTS;

// The calls each script makes of the running system, as the stand-ins record them.
const std::string kApplyRule =
    "udevadm control --reload\n"
    "udevadm trigger --action=change --sysname-match=ttyAMA0 --sysname-match=ttyS0 --sysname-match=i2c-1\n";
const std::string kReload = "systemctl --system daemon-reload\n";

class MaintainerScripts : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!machineRoot()) GTEST_SKIP() << "needs the machine's root: the installed tree is laid over " << kPrefix;
    if (!fs::is_directory(kPrefix)) GTEST_SKIP() << kPrefix << " is missing here: there is nothing to lay the tree over";
    hostBefore_ = hostHomes();
    // deb-systemd-helper says the unit was installed and enabled before when `enabled` exists.
    for (const char* name : {"udevadm", "systemctl", "deb-systemd-helper"}) {
      const fs::path path = tmp_.path() / "bin" / name;
      writeFile(path, "#!/bin/sh\necho \"${0##*/} $*\" >>" + quote(calls().string()) +
                          "\ncase $* in *debian-installed* | *was-enabled*) test -e " +
                          quote((tmp_.path() / "enabled").string()) + " ;; esac\n");
      fs::permissions(path, fs::perms::owner_all);
    }
  }
  void TearDown() override {
    if (!IsSkipped()) {
      EXPECT_EQ(hostHomes(), hostBefore_) << "the host's /home changed";
    }
  }

  fs::path calls() const { return tmp_.path() / "calls"; }
  std::string recorded() const { return bench::slurp(calls()); }

  // `script` in sh on the bench: $postinst and $postrm are the scripts, $setup the installed
  // orvix-setup at its prefix, $preinst the one before, $t a directory of the test's, `list` shows what is under the fixed homes.
  bench::RunResult onBench(const std::string& script, std::vector<std::string> env = {}) {
    const std::string prefix = kPrefix.string();
    bench::RunOptions runOptions{
        .argv = {"/bin/sh", "-c",
                 "mount -t overlay overlay -o lowerdir=\"$1$2\":\"$2\" \"$2\" && mount -t tmpfs tmpfs /run && "
                 "mkdir -p /run/systemd/system /run/udev && touch /run/udev/control || exit 99; "
                 "t=$3; PATH=$t/bin:$PATH; preinst=$4/preinst; postinst=$4/postinst; postrm=$4/postrm; setup=$2/bin/orvix-setup; "
                 "list() { find /home/pi /home/velmont -printf '%p %y %l\\n' 2>/dev/null | LC_ALL=C sort; }; " +
                     script,
                 "sh", installRoot().string(), prefix, tmp_.path().string(), kScripts.string()},
        .env = std::move(env)};
    auto r = bench::run(*board_, runOptions);
    if (r.status == 99) ADD_FAILURE() << "the installed tree could not be laid over " << prefix << ":\n" << r.err;
    return r;
  }

  bench::TempDir tmp_;
  bench::ScratchBoard board_;
  std::string hostBefore_;
};

}  // namespace

TEST_F(MaintainerScripts, AFreshInstallAppliesTheRuleAndRegistersTheUnitWithoutEnablingIt) {
  const auto r = onBench("sh $postinst configure; echo \"status $?\"");
  EXPECT_EQ(r.out, "status 0\n");
  EXPECT_EQ(recorded(), kApplyRule +
                            "deb-systemd-helper debian-installed clocksync.service\n"
                            "deb-systemd-helper update-state clocksync.service\n" +
                            kReload);
}

TEST_F(MaintainerScripts, AnUpgradeLiftsTheRemovalsMaskAndKeepsTheUnitEnabledWhereTheUserEnabledIt) {
  writeFile(tmp_.path() / "enabled", "");
  const auto r = onBench("sh $postinst configure 0.1.0; echo \"status $?\"");
  EXPECT_EQ(r.out, "status 0\n");
  EXPECT_EQ(recorded(), kApplyRule +
                            "deb-systemd-helper debian-installed clocksync.service\n"
                            "deb-systemd-helper unmask clocksync.service\n"
                            "deb-systemd-helper --quiet was-enabled clocksync.service\n"
                            "deb-systemd-helper enable clocksync.service\n"
                            "deb-systemd-helper update-state clocksync.service\n" +
                            kReload);
}

TEST_F(MaintainerScripts, IntoAnotherRootOrWithoutUdevAndSystemdOnlyTheUnitsStateIsKept) {
  // dpkg names another root in DPKG_ROOT: the running system's udev and systemd are not its.
  auto r = onBench("sh $postinst configure; sh $postrm remove; echo \"status $?\"", {"DPKG_ROOT=/mnt/pi"});
  EXPECT_EQ(r.out, "status 0\n");
  const std::string stateOnly =
      "deb-systemd-helper debian-installed clocksync.service\n"
      "deb-systemd-helper update-state clocksync.service\n"
      "deb-systemd-helper mask clocksync.service\n";
  EXPECT_EQ(recorded(), stateOnly);
  // A chroot has neither running: a trigger there would reach the host's devices.
  fs::remove(calls());
  r = onBench("rm -r /run/udev /run/systemd; sh $postinst configure; sh $postrm remove; echo \"status $?\"");
  EXPECT_EQ(r.out, "status 0\n");
  EXPECT_EQ(recorded(), stateOnly);
}

TEST_F(MaintainerScripts, RemovalMasksTheUnitAndDropsTheRuleButKeepsTheLinks) {
  const auto r = onBench(
      "$setup >/dev/null; list >$t/before; sh $postrm upgrade 0.2.0; sh $postrm remove; echo \"status $?\"; "
      "list | diff $t/before - && echo \"links kept\"");
  EXPECT_EQ(r.out, "status 0\nlinks kept\n");
  EXPECT_EQ(recorded(), "deb-systemd-helper mask clocksync.service\n" + kApplyRule + kReload);
}

TEST_F(MaintainerScripts, PurgeRemovesTheLinksOrvixSetupMadeAndNothingElse) {
  // Beside the links: a sketch of the user's own, a link to one, and a configuration of the
  // user's in place of the one orvix-setup linked.
  const auto r = onBench(
      "$setup >/dev/null && echo mine > '/home/pi/bin/mcusketches/My Blink.hex' && "
      "ln -s /opt/other.hex /home/pi/bin/mcusketches/Other.hex && rm /home/velmont/avrdude.conf && "
      "ln -s /opt/my.conf /home/velmont/avrdude.conf && sh $postrm purge; echo \"status $?\"; list");
  EXPECT_EQ(r.out,
            "orvix-tools: left /home/pi/bin/mcusketches: not empty\n"
            "orvix-tools: left /home/pi/bin: not empty\n"
            "orvix-tools: left /home/pi: not empty\n"
            "orvix-tools: left /home/velmont: not empty\n"
            "status 0\n"
            "/home/pi d \n"
            "/home/pi/bin d \n"
            "/home/pi/bin/mcusketches d \n"
            "/home/pi/bin/mcusketches/My Blink.hex f \n"
            "/home/pi/bin/mcusketches/Other.hex l /opt/other.hex\n"
            "/home/velmont d \n"
            "/home/velmont/avrdude.conf l /opt/my.conf\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(recorded(),
            "deb-systemd-helper purge clocksync.service\n"
            "deb-systemd-helper unmask clocksync.service\n" +
                kApplyRule + kReload);
}

TEST_F(MaintainerScripts, PurgeOfWhatOrvixSetupMadeLeavesNoDirectoryOfItsAndAnArmv6ProcessorIsRefused) {
  auto r = onBench("$setup >/dev/null && sh $postrm purge; echo \"status $?\"; list");
  EXPECT_EQ(r.out, "status 0\n");
  // uname as an ARMv6 Pi says it, then the same Pi's /proc/cpuinfo under a 64-bit kernel's uname.
  writeFile(tmp_.path() / "cpuinfo", "processor\t: 0\nmodel name\t: ARMv6-compatible processor rev 7 (v6l)\n"
                                     "CPU architecture: 7\nHardware\t: BCM2835\n");
  const std::string refusal =
      "orvix-tools: this processor is ARMv6 (a Raspberry Pi 1, Zero or Zero W), which the programs of this package, "
      "built for ARMv7, cannot run on: build the suite from source on it instead (README, \"Building\").\n";
  for (const char* machine : {"armv6l", "armv7l"}) {
    writeFile(tmp_.path() / "bin/uname", std::string("#!/bin/sh\necho ") + machine + "\n");
    fs::permissions(tmp_.path() / "bin/uname", fs::perms::owner_all);
    r = onBench("sh $preinst install; echo \"status $?\"; mount --bind $t/cpuinfo /proc/cpuinfo && sh $preinst install; "
                "echo \"status $?\"; mount --bind /dev/null /proc/cpuinfo && sh $preinst install; echo \"status $?\"");
    const bool v6 = machine == std::string("armv6l");
    EXPECT_EQ(r.out, v6 ? "status 1\nstatus 1\nstatus 1\n" : "status 0\nstatus 1\nstatus 0\n") << machine;
    EXPECT_EQ(r.err, v6 ? refusal + refusal + refusal : refusal) << machine;
  }
}
