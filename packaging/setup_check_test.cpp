// orvix-setup -c and the udev rule on fake Pis. Each model's /sys, /dev, config.txt, kernel
// command line and unit links are made in a temporary tree and bound over the system's own
// paths in the bench's mount namespace, where the check reads them as it does on the Pi.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "bench.h"
#include "install_tree.h"

namespace fs = std::filesystem;
using namespace installtree;

namespace {

// What the kernel and the firmware show of one Pi, as far as the check looks.
struct FakePi {
  std::string model{};
  std::string configPath = "/boot/firmware/config.txt";
  std::string config{};
  std::string cmdlineTxt{};   // cmdline.txt beside config.txt
  std::string procCmdline{};  // the running kernel's
  std::vector<std::string> devices{};          // character devices: ttyAMA0, ttyAMA10, ttyS0, i2c-1
  std::map<std::string, std::string> links{};  // the udev links in /dev, name -> target
  std::vector<std::string> enabledUnits{};     // linked in multi-user.target.wants
  std::string rtcDriver{};                     // a kernel driver bound at 1-0068
};

// Bookworm's config.txt as a new image has it, with the lines of a set-up added.
std::string bookwormConfig(const std::string& added = "") {
  return "# For more options and information see\n# http://rptl.io/configtxt\n"
         "#dtparam=i2c_arm=on\n#dtparam=spi=on\n\n# Enable audio (loads snd_bcm2835)\ndtparam=audio=on\n\n"
         "camera_auto_detect=1\ndisplay_auto_detect=1\nauto_initramfs=1\ndtoverlay=vc4-kms-v3d\n"
         "max_framebuffers=2\ndisable_fw_kms_setup=1\narm_64bit=1\n\n[cm4]\notg_mode=1\n\n[all]\n" +
         added;
}
const std::string kCmdlineTxt = "console=serial0,115200 console=tty1 root=PARTUUID=4e639091-02 rootfstype=ext4 "
                                "fsck.repair=yes rootwait quiet\n";
const std::string kNoConsoleTxt = "console=tty1 root=PARTUUID=4e639091-02 rootfstype=ext4 fsck.repair=yes rootwait\n";
std::string procCmdline(const std::string& console) {
  return "coherent_pool=1M 8250.nr_uarts=1 snd_bcm2835.enable_headphones=0 " + console +
         "console=tty1 root=PARTUUID=4e639091-02 rootfstype=ext4 fsck.repair=yes rootwait\n";
}

FakePi pi3Default() {
  return {.model = "Raspberry Pi 3 Model B Rev 1.2",
          .config = bookwormConfig("enable_uart=1\n"),
          .cmdlineTxt = kCmdlineTxt,
          .procCmdline = procCmdline("console=ttyS0,115200 "),
          .devices = {"ttyAMA0", "ttyS0"},
          .links = {{"serial0", "ttyS0"}, {"serial1", "ttyAMA0"}, {"Arduino", "ttyAMA0"}},
          .enabledUnits = {"hciuart.service"}};
}

FakePi pi3DisableBt() {
  return {.model = "Raspberry Pi 3 Model B Rev 1.2",
          .config = bookwormConfig("enable_uart=1\ndtoverlay=disable-bt\ndtparam=i2c_arm=on\n"),
          .cmdlineTxt = kNoConsoleTxt,
          .procCmdline = procCmdline(""),
          .devices = {"ttyAMA0", "i2c-1"},
          .links = {{"serial0", "ttyAMA0"}, {"ttyS0", "ttyAMA0"}, {"Arduino", "ttyAMA0"}}};
}

// Bullseye and before keep config.txt in /boot; this one also has the kernel's RTC overlay.
FakePi piZero() {
  return {.model = "Raspberry Pi Zero Rev 1.3",
          .configPath = "/boot/config.txt",
          .config = "dtparam=audio=on\ndtparam=i2c_arm=on\nenable_uart=1\ndtoverlay=i2c-rtc,ds3231\n",
          .cmdlineTxt = kNoConsoleTxt,
          .procCmdline = procCmdline(""),
          .devices = {"ttyAMA0", "i2c-1"},
          .links = {{"serial0", "ttyAMA0"}, {"ttyS0", "ttyAMA0"}, {"Arduino", "ttyAMA0"}},
          .rtcDriver = "rtc-ds1307"};
}

// The Pi 5's serial0 is the debug connector's UART; the header's comes with uart0=on.
FakePi pi5(bool uart0) {
  FakePi pi{.model = "Raspberry Pi 5 Model B Rev 1.0",
            .config = bookwormConfig(uart0 ? "dtparam=i2c_arm=on\ndtparam=uart0=on\n" : "dtparam=i2c_arm=on\n"),
            .cmdlineTxt = kCmdlineTxt,
            .procCmdline = procCmdline("console=ttyAMA10,115200 "),
            .devices = {"ttyAMA10", "i2c-1"},
            .links = {{"serial0", "ttyAMA10"}}};
  if (uart0) {
    pi.devices.push_back("ttyAMA0");
    pi.links.insert({{"ttyS0", "ttyAMA0"}, {"Arduino", "ttyAMA0"}});
  }
  return pi;
}

struct Device {
  const char* subsystem;
  unsigned major, minor;
};
const std::map<std::string, Device> kDevices = {{"ttyAMA0", {"tty", 204, 64}},
                                                {"ttyAMA10", {"tty", 204, 74}},
                                                {"ttyS0", {"tty", 4, 64}},
                                                {"i2c-1", {"i2c-dev", 89, 1}}};

// The fake Pi as a tree: sys/, boot/, cmdline, systemd/ and dev/, bound or copied over the
// system's own paths by kBind. The tree is open to every user, for the check run as nobody.
class Tree {
 public:
  explicit Tree(const FakePi& pi) {
    const fs::path& t = dir_.path();
    fs::permissions(t, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
    fs::copy_file(ORVIX_SETUP_SCRIPT, t / "orvix-setup");
    writeFile(t / "sys/firmware/devicetree/base/model", pi.model + std::string(1, '\0'));
    fs::create_directories(t / "dev");
    for (const auto& name : pi.devices) {
      const Device& d = kDevices.at(name);
      // The device as sysfs has it, with what udev reads: its uevent and its subsystem.
      const fs::path dev = t / "sys/devices/platform" / name;
      writeFile(dev / "uevent", "MAJOR=" + std::to_string(d.major) + "\nMINOR=" + std::to_string(d.minor) +
                                    "\nDEVNAME=" + name + "\n");
      fs::create_directories(t / "sys/class" / d.subsystem);
      fs::create_symlink(std::string("../../../class/") + d.subsystem, dev / "subsystem");
      fs::create_symlink("../../devices/platform/" + name, t / "sys/class" / d.subsystem / name);
      if (mknod((t / "dev" / name).c_str(), S_IFCHR | 0660, makedev(d.major, d.minor)) != 0)
        ADD_FAILURE() << "mknod " << name << ": " << strerror(errno);
    }
    for (const auto& [name, target] : pi.links) fs::create_symlink(target, t / "dev" / name);
    if (!pi.rtcDriver.empty()) {
      fs::create_directories(t / "sys/bus/i2c/drivers" / pi.rtcDriver);
      fs::create_directories(t / "sys/bus/i2c/devices/1-0068");
      fs::create_symlink("../../drivers/" + pi.rtcDriver, t / "sys/bus/i2c/devices/1-0068/driver");
    }
    const fs::path config = t / fs::path(pi.configPath).relative_path();
    writeFile(config, pi.config);
    writeFile(config.parent_path() / "cmdline.txt", pi.cmdlineTxt);
    writeFile(t / "cmdline", pi.procCmdline);
    fs::create_directories(t / "systemd/multi-user.target.wants");
    for (const auto& unit : pi.enabledUnits)
      fs::create_symlink("/lib/systemd/system/" + unit, t / "systemd/multi-user.target.wants" / unit);
  }
  const fs::path& path() const { return dir_.path(); }

 private:
  bench::TempDir dir_;
};

// Binds the tree of $1 where the Pi has it; an unusable /run is a private tmpfs, so nothing
// there (udev's own database included) reaches the host. Status 99 when a mount is refused.
const std::string kBind =
    "t=$1; mount --bind \"$t/sys\" /sys && mount --bind \"$t/boot\" /boot && "
    "mount --bind \"$t/cmdline\" /proc/cmdline && mount --bind \"$t/systemd\" /etc/systemd/system && "
    "mount -t tmpfs tmpfs /run || exit 99; ";

class SetupCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!machineRoot())
      GTEST_SKIP() << "needs the machine's root: the fake Pi's device nodes are made, and its tree bound over "
                      "/sys, /boot and /proc/cmdline";
    for (const char* path : {"/boot", "/etc/systemd/system"})
      if (!fs::is_directory(path)) GTEST_SKIP() << path << " is missing here: there is nothing to bind the fake Pi's over";
    writeFile(tmp_.path() / "helper", "#!/bin/sh\n");
    fs::permissions(tmp_.path() / "helper", fs::perms::all);
  }

  // The fake Pi's tree bound in place, then `script` in sh; the helpers that orvix-setup links
  // are there when `helpers` is set.
  bench::RunResult onPi(const FakePi& pi, const std::string& script, bool helpers = true) {
    Tree tree(pi);
    // The user who called sudo would be the one whose groups count: the tests name their own.
    bench::RunOptions runOptions{.argv = {"/bin/sh", "-c", kBind + "cp -a \"$t/dev/.\" /dev/ && " + script, "sh",
                                          tree.path().string()},
                                 .env = {"SUDO_USER="}};
    if (helpers) {
      for (const char* path : {"/home/velmont/avrdude", "/home/velmont/avrdude.conf", "/home/pi/bin/mcuload",
                               "/home/pi/bin/mcusketches/WaitSketch.hex"})
        runOptions.files[path] = tmp_.path() / "helper";
    }
    auto r = bench::run(*board_, runOptions);
    if (r.status == 99) ADD_FAILURE() << "the fake Pi could not be bound in place:\n" << r.err;
    return r;
  }
  bench::RunResult check(const FakePi& pi, bool helpers = true) {
    return onPi(pi, "\"$t/orvix-setup\" --check; echo \"status $?\"", helpers);
  }

  static std::string helpersOk() {
    return "OK /home/velmont/avrdude, the programmer\n"
           "OK /home/velmont/avrdude.conf, its configuration\n"
           "OK /home/pi/bin/mcuload, the loader\n"
           "OK /home/pi/bin/mcusketches/WaitSketch.hex, the pin-wait sketch\n";
  }

  bench::TempDir tmp_;
  bench::ScratchBoard board_;
};

}  // namespace

TEST_F(SetupCheck, Pi3AsShippedHasTheBluetoothChipOnTheUartAndSaysWhichLinesFixIt) {
  const auto r = check(pi3Default());
  EXPECT_EQ(r.out,
            "NO board UART: the Bluetooth chip holds ttyAMA0 on this Raspberry Pi 3 Model B Rev 1.2, "
            "/dev/serial0 -> ttyS0 (add dtoverlay=disable-bt to /boot/firmware/config.txt, then reboot)\n"
            "NO hciuart.service is enabled: it attaches the Bluetooth chip to a UART (sudo systemctl disable hciuart)\n"
            "NO serial console on the board UART: console=serial0,115200 in /boot/firmware/cmdline.txt "
            "(remove that word, then reboot)\n"
            "NO /dev/ttyS0 is a UART of its own, not the board UART "
            "(add dtoverlay=disable-bt to /boot/firmware/config.txt, then reboot)\n"
            "NO /dev/Arduino -> ttyAMA0, and the board UART is not set up (set it up first)\n"
            "NO /dev/i2c-1 is missing "
            "(add dtparam=i2c_arm=on to /boot/firmware/config.txt and i2c-dev to /etc/modules, then reboot)\n"
            "OK no kernel driver holds 1-0068, the RTC's address\n"
            "OK root needs no group for the devices\n" +
                helpersOk() + "status 1\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(SetupCheck, Pi3WithBluetoothOffIsAllOk) {
  const auto r = check(pi3DisableBt());
  EXPECT_EQ(r.out,
            "OK board UART /dev/ttyAMA0 on GPIO 14/15 of this Raspberry Pi 3 Model B Rev 1.2, /dev/serial0 -> ttyAMA0\n"
            "OK hciuart.service is not enabled\n"
            "OK no serial console on the board UART\n"
            "OK /dev/ttyS0 -> ttyAMA0, the board UART\n"
            "OK /dev/Arduino -> ttyAMA0, the board UART\n"
            "OK /dev/i2c-1, the RTC's bus\n"
            "OK no kernel driver holds 1-0068, the RTC's address\n"
            "OK root needs no group for the devices\n" +
                helpersOk() + "status 0\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(SetupCheck, Pi3ConfiguredButNotRebootedIsToldToReboot) {
  // The lines are in config.txt and cmdline.txt, but the kernel still runs as shipped.
  FakePi pi = pi3Default();
  pi.config = bookwormConfig("enable_uart=1\ndtoverlay=disable-bt\n");
  pi.cmdlineTxt = kNoConsoleTxt;
  pi.enabledUnits.clear();
  const auto r = check(pi);
  EXPECT_EQ(r.out,
            "NO board UART: the Bluetooth chip holds ttyAMA0 on this Raspberry Pi 3 Model B Rev 1.2, "
            "/dev/serial0 -> ttyS0 (dtoverlay=disable-bt is in /boot/firmware/config.txt: reboot)\n"
            "OK hciuart.service is not enabled\n"
            "NO serial console on the board UART: console=ttyS0,115200 since the last boot (reboot)\n"
            "NO /dev/ttyS0 is a UART of its own, not the board UART "
            "(dtoverlay=disable-bt is in /boot/firmware/config.txt: reboot)\n"
            "NO /dev/Arduino -> ttyAMA0, and the board UART is not set up (set it up first)\n"
            "NO /dev/i2c-1 is missing "
            "(add dtparam=i2c_arm=on to /boot/firmware/config.txt and i2c-dev to /etc/modules, then reboot)\n"
            "OK no kernel driver holds 1-0068, the RTC's address\n"
            "OK root needs no group for the devices\n" +
                helpersOk() + "status 1\n");
}

TEST_F(SetupCheck, Pi4WithBluetoothOnTheMiniUartKeepsATtyS0OfItsOwn) {
  FakePi pi = pi3DisableBt();
  pi.model = "Raspberry Pi 4 Model B Rev 1.4";
  pi.config = bookwormConfig("enable_uart=1\ndtoverlay=miniuart-bt\ndtparam=i2c_arm=on\n");
  pi.devices.push_back("ttyS0");
  pi.links = {{"serial0", "ttyAMA0"}, {"serial1", "ttyS0"}, {"Arduino", "ttyAMA0"}};
  pi.enabledUnits = {"hciuart.service"};
  const auto r = check(pi);
  EXPECT_EQ(r.out,
            "OK board UART /dev/ttyAMA0 on GPIO 14/15 of this Raspberry Pi 4 Model B Rev 1.4, /dev/serial0 -> ttyAMA0\n"
            "NO hciuart.service is enabled: it attaches the Bluetooth chip to a UART (sudo systemctl disable hciuart)\n"
            "OK no serial console on the board UART\n"
            "NO /dev/ttyS0 is a UART of its own, not the board UART "
            "(replace dtoverlay=miniuart-bt with dtoverlay=disable-bt in /boot/firmware/config.txt, then reboot)\n"
            "OK /dev/Arduino -> ttyAMA0, the board UART\n"
            "OK /dev/i2c-1, the RTC's bus\n"
            "OK no kernel driver holds 1-0068, the RTC's address\n"
            "OK root needs no group for the devices\n" +
                helpersOk() + "status 1\n");
}

TEST_F(SetupCheck, PiZeroForAUserWithoutGroupsWithTheKernelsRtcDriverAndNoHelpers) {
  // Checked by nobody, who is in none of the groups; config.txt is where Bullseye keeps it.
  const auto r = onPi(piZero(),
                      "setpriv --reuid=65534 --regid=65534 --clear-groups \"$t/orvix-setup\" -c; echo \"status $?\"",
                      false);
  EXPECT_EQ(r.out,
            "OK board UART /dev/ttyAMA0 on GPIO 14/15 of this Raspberry Pi Zero Rev 1.3, /dev/serial0 -> ttyAMA0\n"
            "OK no serial console on the board UART\n"
            "OK /dev/ttyS0 -> ttyAMA0, the board UART\n"
            "OK /dev/Arduino -> ttyAMA0, the board UART\n"
            "OK /dev/i2c-1, the RTC's bus\n"
            "NO the kernel driver rtc-ds1307 holds 1-0068, the RTC's address "
            "(remove dtoverlay=i2c-rtc,ds3231 from /boot/config.txt, then reboot)\n"
            "NO nobody is not in group dialout, for the serial ports (sudo adduser nobody dialout, then log in again)\n"
            "NO nobody is not in group i2c, for the RTC's bus (sudo adduser nobody i2c, then log in again)\n"
            "NO nobody is not in group gpio, for the reset line and the button "
            "(sudo adduser nobody gpio, then log in again)\n"
            "NO /home/velmont/avrdude, the programmer, is missing (sudo apt install avrdude && sudo orvix-setup)\n"
            "NO /home/velmont/avrdude.conf, its configuration, is missing "
            "(sudo apt install avrdude && sudo orvix-setup)\n"
            "NO /home/pi/bin/mcuload, the loader, is missing (sudo orvix-setup)\n"
            "NO /home/pi/bin/mcusketches/WaitSketch.hex, the pin-wait sketch, is missing (sudo orvix-setup)\n"
            "status 1\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(SetupCheck, UnderSudoTheCallersGroupsCountAndAHelperLinkThatLeadsNowhereIsNamed) {
  // The package was removed and its loader with it; the link that orvix-setup made stays.
  const auto r = onPi(piZero(),
                      "mkdir -p /home/pi/bin && ln -s /usr/lib/orvix/mcuload /home/pi/bin/mcuload && "
                      "SUDO_USER=nobody \"$t/orvix-setup\" -c | sed -n '/group\\|mcuload/p'",
                      false);
  EXPECT_EQ(r.out,
            "NO nobody is not in group dialout, for the serial ports (sudo adduser nobody dialout, then log in again)\n"
            "NO nobody is not in group i2c, for the RTC's bus (sudo adduser nobody i2c, then log in again)\n"
            "NO nobody is not in group gpio, for the reset line and the button "
            "(sudo adduser nobody gpio, then log in again)\n"
            "NO /home/pi/bin/mcuload -> /usr/lib/orvix/mcuload, the loader, leads nowhere (sudo orvix-setup)\n");
}

TEST_F(SetupCheck, LinksMissingFromTheBoardUartAreToBeMadeByUdevUnlessAnOlderRuleInEtcHidesThePackages) {
  if (!fs::is_directory("/etc/udev/rules.d")) GTEST_SKIP() << "/etc/udev/rules.d is missing here (Debian: udev)";
  FakePi pi = pi3DisableBt();
  pi.links = {{"serial0", "ttyAMA0"}};
  const std::string names = "\"$t/orvix-setup\" -c | grep -E '^.. /dev/(ttyS0|Arduino) '; ";
  auto r = onPi(pi, names);
  EXPECT_EQ(r.out,
            "NO /dev/ttyS0 is missing (sudo udevadm control --reload && sudo udevadm trigger)\n"
            "NO /dev/Arduino is missing (sudo udevadm control --reload && sudo udevadm trigger)\n");
  // What an earlier README had people do for the mini UART.
  r = onPi(pi, "mkdir $t/udev && echo 'KERNEL==\"ttyS0\", SUBSYSTEM==\"tty\", SYMLINK+=\"Arduino\"' >$t/udev/99-orvix.rules && "
               "mount --bind $t/udev /etc/udev/rules.d && " + names);
  const std::string fix =
      "(remove /etc/udev/rules.d/99-orvix.rules, which hides the rule of orvix-tools; "
      "then sudo udevadm control --reload && sudo udevadm trigger)\n";
  EXPECT_EQ(r.out, "NO /dev/ttyS0 is missing " + fix + "NO /dev/Arduino is missing " + fix);
}

TEST_F(SetupCheck, Pi5NeedsItsHeaderUartSwitchedOnAndIsAllOkOnceItIs) {
  auto r = check(pi5(false));
  EXPECT_EQ(r.out,
            "NO board UART: no /dev/ttyAMA0 on GPIO 14/15 of this Raspberry Pi 5 Model B Rev 1.0, "
            "/dev/serial0 -> ttyAMA10 (add dtparam=uart0=on to /boot/firmware/config.txt, then reboot)\n"
            "OK no serial console on the board UART\n"
            "NO /dev/ttyS0 is missing, and the board UART is not set up (set it up first)\n"
            "NO /dev/Arduino is missing, and the board UART is not set up (set it up first)\n"
            "OK /dev/i2c-1, the RTC's bus\n"
            "OK no kernel driver holds 1-0068, the RTC's address\n"
            "OK root needs no group for the devices\n" +
                helpersOk() + "status 1\n");
  // Its console on the debug connector's serial0 is no concern of the board's.
  r = check(pi5(true));
  EXPECT_EQ(r.out,
            "OK board UART /dev/ttyAMA0 on GPIO 14/15 of this Raspberry Pi 5 Model B Rev 1.0, /dev/serial0 -> ttyAMA10\n"
            "OK no serial console on the board UART\n"
            "OK /dev/ttyS0 -> ttyAMA0, the board UART\n"
            "OK /dev/Arduino -> ttyAMA0, the board UART\n"
            "OK /dev/i2c-1, the RTC's bus\n"
            "OK no kernel driver holds 1-0068, the RTC's address\n"
            "OK root needs no group for the devices\n" +
                helpersOk() + "status 0\n");
}

TEST_F(SetupCheck, OffAPiItSaysSoAndChangesNothing) {
  FakePi pc{.procCmdline = "root=/dev/sda1 console=ttyS0,115200\n", .devices = {"ttyS0"}};
  // /dev/pts is the host's: other tests' lines come and go in it meanwhile.
  const std::string list =
      "find /dev /home /sys /boot /etc/systemd/system -path /dev/pts -prune -o -printf '%p %y %m %l\\n'";
  const auto r = onPi(pc, list + " >$t/before; \"$t/orvix-setup\" -c | head -n 3; " + list +
                              " | diff $t/before - && echo unchanged");
  EXPECT_EQ(r.out,
            "NO board UART: no Raspberry Pi model in /sys/firmware/devicetree/base/model (run the check on the Pi)\n"
            "NO serial console on the board UART: console=ttyS0,115200 since the last boot (reboot)\n"
            "NO /dev/ttyS0 is a UART of its own, not the board UART "
            "(turn the mini UART off in /boot/firmware/config.txt, then reboot)\n"
            "unchanged\n");
}

// The udev rule as udevadm applies it to the fake Pi's ttyAMA0 and i2c-1, with no other rule
// loaded. udevadm test makes the links in the namespace's own /dev, which is then listed.
class UdevRule : public SetupCheck {
 protected:
  void SetUp() override {
    SetupCheck::SetUp();
    if (IsSkipped()) return;
    if (!fs::exists("/usr/bin/udevadm")) GTEST_SKIP() << "udevadm is missing (Debian: udev)";
    fs::create_directories(rules_.path() / "rules");
    fs::copy_file(ORVIX_UDEV_RULE, rules_.path() / "rules" / fs::path(ORVIX_UDEV_RULE).filename());
  }
  // udev reads the fake sysfs only when told not to insist on a real one.
  bench::RunResult apply(FakePi pi, const std::string& device) {
    pi.links.clear();
    return onPi(pi,
                "r=" + rules_.path().string() +
                    "; mount --bind $r/rules /usr/lib/udev/rules.d && mount -t tmpfs tmpfs /etc/udev/rules.d && "
                    "rm -f /dev/ttyS0 && "  // whether a ttyS0 exists is the rule's to learn from sysfs
                    "SYSTEMD_DEVICE_VERIFY_SYSFS=0 udevadm test --action=add " +
                    device +
                    " 2>/dev/null | grep '^TAGS='; "
                    "find /dev -maxdepth 1 -type l -lname 'tty*' -printf '%p -> %l\\n' | sort");
  }
  bench::TempDir rules_;
};

TEST_F(UdevRule, LinksArduinoAndTtyS0ToTheBoardUart) {
  const auto r = apply(pi3DisableBt(), "/sys/class/tty/ttyAMA0");
  EXPECT_EQ(r.out, "/dev/Arduino -> ttyAMA0\n/dev/ttyS0 -> ttyAMA0\n");
}

TEST_F(UdevRule, LeavesAMiniUartItsOwnName) {
  const auto r = apply(pi3Default(), "/sys/class/tty/ttyAMA0");
  EXPECT_EQ(r.out, "/dev/Arduino -> ttyAMA0\n");
}

TEST_F(UdevRule, TagsTheRtcsBusForSystemdAndNothingElse) {
  auto r = apply(pi5(false), "/sys/class/i2c-dev/i2c-1");
  EXPECT_EQ(r.out, "TAGS=:systemd:\n");
  r = apply(pi5(false), "/sys/class/tty/ttyAMA10");
  EXPECT_EQ(r.out, "");
}
