// orvix-setup -c and the udev rule on fake Pis. Each model's /sys, /dev, config.txt, kernel
// command line and unit links are made in a temporary tree and bound over the system's own
// paths in the bench's mount namespace, where the check reads them as it does on the Pi.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <map>
#include <sstream>
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
  std::map<std::string, std::string> devices{};  // character devices and their device-tree nodes ("" for none)
  std::map<std::string, std::string> links{};    // the udev links in /dev, name -> target
  std::vector<std::string> enabledUnits{};       // linked in multi-user.target.wants
  std::string rtcDriver{};                       // a kernel driver bound at 1-0068
  std::map<std::string, std::string> dt{};       // files of /proc/device-tree, path -> contents
  std::string modules{};                         // /etc/modules
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

// The firmware writes its own 8250.nr_uarts into the kernel's command line, and which rule it
// follows is not known: the mini UART's status, or enable_uart. With 1, the kernel makes a
// placeholder ttyS0 when the mini UART is off.
enum class NrUarts { MiniUart, EnableUart };

// A model as the firmware knows it: its model string, its config.txt filters, and how its
// GPIO 14/15 comes to the PL011.
struct Model {
  std::string name;
  std::vector<std::string> tags;
  enum Kind { kPlain, kBluetooth, kPi5 } kind = kPlain;
  bool computeModule = false;
};
const Model kPi1B{"Raspberry Pi Model B Rev 2", {"pi1"}};
const Model kPi2{"Raspberry Pi 2 Model B Rev 1.1", {"pi2"}};
const Model kPi3{"Raspberry Pi 3 Model B Rev 1.2", {"pi3"}, Model::kBluetooth};
const Model kPi4{"Raspberry Pi 4 Model B Rev 1.4", {"pi4"}, Model::kBluetooth};
const Model kPi5{"Raspberry Pi 5 Model B Rev 1.0", {"pi5"}, Model::kPi5};
const Model kZeroW{"Raspberry Pi Zero W Rev 1.1", {"pi0", "pi0w"}, Model::kBluetooth};
const Model kCm3{"Raspberry Pi Compute Module 3 Plus Rev 1.0", {"pi3"}, Model::kPlain, true};

// What stays across a boot: the files the firmware and the kernel read, and the unit links.
struct Installed {
  Model model;
  std::string config, cmdlineTxt, modules;
  std::vector<std::string> units{};
  std::string configPath = "/boot/firmware/config.txt";
};

// The lines of config.txt that the firmware reads on the model.
std::vector<std::string> applying(const std::string& config, const std::vector<std::string>& tags) {
  std::vector<std::string> lines;
  bool on = true;
  std::stringstream in(config);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with('[')) {
      const std::string filter = line.substr(1, line.find(']') - 1);
      on = filter == "all" || std::ranges::find(tags, filter) != tags.end();
    } else if (on && !line.empty() && !line.starts_with('#')) {
      lines.push_back(line);
    }
  }
  return lines;
}

const std::string kPl011 = "/soc/serial@7e201000", kMini = "/soc/serial@7e215040";
const std::string kRp1Uart0 = "/axi/pcie@120000/rp1/serial@30000", kUart10 = "/soc/serial@7d001000";

// The Pi as the firmware, the kernel, udev with Raspberry Pi OS's rule and this package's rule
// make it from the installed files: Bookworm, whose kernel drives the Bluetooth chip.
FakePi boot(const Installed& s, NrUarts rule) {
  const auto lines = applying(s.config, s.model.tags);
  // No std::regex: it trips GCC 12's maybe-uninitialized warning in the sanitizer build.
  const auto has = [&](const std::string& line) { return std::ranges::find(lines, line) != lines.end(); };
  const auto on = [&](const std::string& param) {
    std::string value;
    for (const auto& l : lines)
      if (l == "dtparam=" + param) value = "on";
      else if (l.starts_with("dtparam=" + param + "=")) value = l.substr(param.size() + 9);
    return value == "on" || value == "1" || value == "true" || value == "yes";
  };
  FakePi pi{.model = s.model.name, .configPath = s.configPath, .config = s.config, .cmdlineTxt = s.cmdlineTxt,
            .enabledUnits = s.units, .modules = s.modules};
  std::string serial0, serial1, console;  // alias targets
  int nrUarts = 0;
  if (s.model.kind == Model::kPi5) {
    const bool uart0 = on("uart0") || has("dtparam=uart0_console");
    pi.devices["ttyAMA10"] = kUart10;
    if (uart0) pi.devices["ttyAMA0"] = kRp1Uart0;
    serial0 = kRp1Uart0;
    console = has("dtparam=uart0_console") ? kRp1Uart0 : kUart10;
    nrUarts = rule == NrUarts::EnableUart ? 1 : 0;  // the bootargs' own 8250.nr_uarts=1
  } else {
    const bool bt = s.model.kind == Model::kBluetooth, disableBt = bt && (has("dtoverlay=disable-bt") || has("dtoverlay=pi3-disable-bt"));
    int enableUart = !bt || disableBt ? 1 : 0;
    for (const auto& l : lines)
      if (l.starts_with("enable_uart=")) enableUart = std::stoi(l.substr(12));
    const bool pl011 = s.model.computeModule ? on("uart0") : enableUart == 1 || bt;
    if (pl011 && (!bt || disableBt)) pi.devices["ttyAMA0"] = kPl011;
    const bool mini = bt && !disableBt && enableUart == 1;
    if (mini) pi.devices["ttyS0"] = kMini;
    serial0 = bt && !disableBt ? kMini : kPl011;
    serial1 = serial0 == kMini ? kPl011 : kMini;
    if (bt) {
      pi.dt["soc/serial@7e201000/bluetooth/status"] = disableBt ? "disabled" : "okay";
      pi.dt["soc/gpio@7e200000/bt_pins/brcm,pins"] = disableBt ? "" : std::string("\0\0\0\x2b\0\0\0\x2a", 8);
    }
    nrUarts = rule == NrUarts::MiniUart ? (mini ? 1 : 0) : enableUart;
  }
  if (nrUarts > 0 && !pi.devices.contains("ttyS0")) pi.devices["ttyS0"] = "";  // the placeholder
  pi.dt["model"] = s.model.name + std::string(1, '\0');
  pi.dt["aliases/serial0"] = serial0 + std::string(1, '\0');
  if (!serial1.empty()) pi.dt["aliases/serial1"] = serial1 + std::string(1, '\0');
  if (!console.empty()) pi.dt["aliases/console"] = console + std::string(1, '\0');
  // Raspberry Pi OS's rule: serial0 for the console alias where there is one, else for serial0.
  for (const auto& [name, node] : pi.devices) {
    if (node.empty() || name.starts_with("i2c")) continue;
    if (node == (console.empty() ? serial0 : console)) pi.links["serial0"] = name;
    if (console.empty() && node == serial1) pi.links["serial1"] = name;
  }
  // The firmware puts serial0's device in the words of cmdline.txt.
  std::string words;
  std::stringstream in(s.cmdlineTxt);
  const std::string primary = pi.links.contains("serial0") ? pi.links["serial0"] : serial0 == kMini ? "ttyS0" : "ttyAMA0";
  for (std::string word; in >> word;)
    words += (word.starts_with("console=serial0") ? "console=" + primary + word.substr(15) : word) + " ";
  pi.procCmdline = "coherent_pool=1M 8250.nr_uarts=" + std::to_string(nrUarts) + " " + words + "\n";
  const bool i2c = on("i2c_arm") || on("i2c");
  if (i2c && ("\n" + s.modules + "\n").find("\ni2c-dev\n") != std::string::npos) pi.devices["i2c-1"] = "";
  if (i2c && std::ranges::any_of(lines, [](const std::string& l) { return l.starts_with("dtoverlay=i2c-rtc"); })) pi.rtcDriver = "rtc-ds1307";
  // This package's rule: Arduino, and ttyS0 unless it is a real port, lead to ttyAMA0.
  if (pi.devices.contains("ttyAMA0")) {
    pi.links["Arduino"] = "ttyAMA0";
    if (!pi.devices.contains("ttyS0") || pi.devices["ttyS0"].empty()) {
      pi.devices.erase("ttyS0");
      pi.links["ttyS0"] = "ttyAMA0";
    }
  }
  return pi;
}

FakePi pi3DisableBt() {
  return boot({kPi3, bookwormConfig("dtoverlay=disable-bt\ndtparam=i2c_arm=on\n"), kNoConsoleTxt, "i2c-dev\n"},
              NrUarts::MiniUart);
}
// Bullseye and before keep config.txt in /boot; this one also has the kernel's RTC overlay.
FakePi piZero() {
  return boot({{"Raspberry Pi Zero Rev 1.3", {"pi0"}},
               "dtparam=audio=on\ndtparam=i2c_arm=on\nenable_uart=1\ndtoverlay=i2c-rtc,ds3231\n",
               kNoConsoleTxt,
               "i2c-dev\n",
               {},
               "/boot/config.txt"},
              NrUarts::MiniUart);
}
FakePi pi5(bool uart0) {
  return boot({kPi5, bookwormConfig(uart0 ? "dtparam=i2c_arm=on\ndtparam=uart0=on\n" : "dtparam=i2c_arm=on\n"),
               kCmdlineTxt, "i2c-dev\n"},
              NrUarts::MiniUart);
}

struct Device {
  const char* subsystem;
  unsigned major, minor;
};
const std::map<std::string, Device> kDevices = {{"ttyAMA0", {"tty", 204, 64}},
                                                {"ttyAMA10", {"tty", 204, 74}},
                                                {"ttyS0", {"tty", 4, 64}},
                                                {"i2c-1", {"i2c-dev", 89, 1}}};

// The fake Pi as a tree: sys/, boot/, cmdline, systemd/, modules and dev/, bound or copied over
// the system's own paths by kBind. The tree is open to every user, for the check run as nobody.
class Tree {
 public:
  explicit Tree(const FakePi& pi) {
    const fs::path& t = dir_.path();
    fs::permissions(t, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                           fs::perms::others_read | fs::perms::others_exec);
    // As installed: the check beside the loader, PREFIX/lib/orvix, for PREFIX/bin/orvix-setup.
    fs::create_directories(t / "bin");
    fs::create_directories(t / "lib/orvix");
    fs::copy_file(ORVIX_SETUP_SCRIPT, t / "bin/orvix-setup");
    fs::copy_file(ORVIX_SETUP_CHECK, t / "lib/orvix/setup-check.sh");
    fs::create_symlink("bin/orvix-setup", t / "orvix-setup");
    const fs::path base = t / "sys/firmware/devicetree/base";
    for (const auto& [path, text] : pi.dt) writeFile(base / path, text);
    if (!pi.model.empty()) writeFile(base / "model", pi.model + std::string(1, '\0'));
    fs::create_directories(t / "dev");
    for (const auto& [name, node] : pi.devices) {
      const Device& d = kDevices.at(name);
      // The device as sysfs has it, with what udev reads: its uevent and its subsystem; a
      // serial port's type (0 for the 8250 placeholder) and its device-tree node.
      const fs::path dev = t / "sys/devices/platform" / name;
      writeFile(dev / "uevent", "MAJOR=" + std::to_string(d.major) + "\nMINOR=" + std::to_string(d.minor) +
                                    "\nDEVNAME=" + name + "\n");
      if (d.subsystem == std::string("tty")) writeFile(dev / "type", node.empty() ? "0\n" : "4\n");
      if (!node.empty()) {
        fs::create_directories(base / node.substr(1));
        fs::create_directories(dev / "device");
        fs::create_symlink("../../../../firmware/devicetree/base" + node, dev / "device/of_node");
      }
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
    if (!pi.modules.empty()) writeFile(t / "modules", pi.modules);
    fs::create_directories(t / "systemd/multi-user.target.wants");
    for (const auto& unit : pi.enabledUnits)
      fs::create_symlink("/lib/systemd/system/" + unit, t / "systemd/multi-user.target.wants" / unit);
  }
  const fs::path& path() const { return dir_.path(); }

 private:
  bench::TempDir dir_;
};

// Binds the tree of $1 where the Pi has it, /etc under an overlay of its own (with the tree's
// /etc/modules) so that nothing written there reaches the host; an unusable /run is a private
// tmpfs, so nothing there (udev's own database included) reaches the host either. Status 99 when a mount is refused.
const std::string kBind =
    "t=$1; mount --bind \"$t/sys\" /sys && mount --bind \"$t/boot\" /boot && "
    "mount --bind \"$t/cmdline\" /proc/cmdline && mkdir \"$t/etc\" && mount -t tmpfs tmpfs \"$t/etc\" && "
    "mkdir \"$t/etc/up\" \"$t/etc/work\" && { [ ! -e \"$t/modules\" ] || cp \"$t/modules\" \"$t/etc/up/\"; } && "
    "mount -t overlay overlay -o \"lowerdir=/etc,upperdir=$t/etc/up,workdir=$t/etc/work\" /etc && "
    "mount --bind \"$t/systemd\" /etc/systemd/system && mount -t tmpfs tmpfs /run || exit 99; ";

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
    writeFile(tmp_.path() / "bin/systemctl",
              "#!/bin/sh\n[ \"$1\" = disable ] && rm -v /etc/systemd/system/*.wants/\"$2\" | sed 's/^removed/Removed/'\n");
    fs::permissions(tmp_.path() / "bin/systemctl", fs::perms::owner_all);
  }

  // The fake Pi's tree bound in place, then `script` in sh; the helpers that orvix-setup links
  // are there when `helpers` is set.
  bench::RunResult onPi(const FakePi& pi, const std::string& script, bool helpers = true) {
    const Tree tree(pi);
    return onTree(tree, script, helpers);
  }
  bench::RunResult onTree(const Tree& tree, const std::string& script, bool helpers = true) {
    // The user who called sudo would be the one whose groups count: the tests name their own.
    // systemctl is a stand-in that disables a unit the way the check sees it, by its links.
    bench::RunOptions runOptions{.argv = {"/bin/sh", "-c",
                                          kBind + "cp -a \"$t/dev/.\" /dev/ && PATH=" + quote((tmp_.path() / "bin").string()) +
                                              ":$PATH && " + script,
                                          "sh", tree.path().string()},
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

// One model in one state: the check's lines that are not OK, --fix --dry-run's diff; then
// --fix, a second --fix that changes no byte, and a boot from the edited files whose check is
// all OK, under either rule of the firmware for 8250.nr_uarts.
struct Scenario {
  const char* name;
  Installed installed;
  std::string notOk;  // the check's lines other than OK, and its status
  std::string diff;   // what --fix --dry-run prints
  void (*trap)(FakePi&) = nullptr;  // what a boot from the files alone would not leave
};

const std::string kSetUp = "dtoverlay=disable-bt\ndtparam=i2c_arm=on\n";

// The lines and edits that many models share.
std::string uartNo(const std::string& model, const std::string& fix) {
  return "NO board UART: the Bluetooth chip holds ttyAMA0 on this " + model + " (" + fix + ")\n";
}
const std::string kAddDisableBt = "add dtoverlay=disable-bt to /boot/firmware/config.txt, then reboot";
const std::string kConsoleNo =
    "NO serial console on the board UART: console=serial0,115200 in /boot/firmware/cmdline.txt "
    "(remove that word, then reboot)\n";
const std::string kNamesNotYet =
    "NO /dev/ttyS0 is missing, and the board UART is not set up (set it up first)\n"
    "NO /dev/Arduino is missing, and the board UART is not set up (set it up first)\n";
const std::string kI2cNo =
    "NO /dev/i2c-1 is missing "
    "(add dtparam=i2c_arm=on to /boot/firmware/config.txt and i2c-dev to /etc/modules, then reboot)\n";
std::string configDiff(const std::string& hunk) {
  return "--- /boot/firmware/config.txt\n+++ /boot/firmware/config.txt\n" + hunk;
}
// The end of the stock config.txt, with lines added after its [all].
std::string appended(const std::string& lines) {
  const auto n = std::ranges::count(lines, '\n');
  return configDiff("@@ -18,3 +18," + std::to_string(3 + n) + " @@\n otg_mode=1\n \n [all]\n" + lines);
}
const std::string kCmdlineDiff =
    "--- /boot/firmware/cmdline.txt\n+++ /boot/firmware/cmdline.txt\n@@ -1 +1 @@\n"
    "-console=serial0,115200 console=tty1 root=PARTUUID=4e639091-02 rootfstype=ext4 fsck.repair=yes rootwait quiet\n"
    "+console=tty1 root=PARTUUID=4e639091-02 rootfstype=ext4 fsck.repair=yes rootwait quiet\n";
const std::string kModulesDiff = "--- /etc/modules\n+++ /etc/modules\n@@ -0,0 +1 @@\n+i2c-dev\n";
const std::string kAllThree =
    "these changes to /boot/firmware/config.txt, /boot/firmware/cmdline.txt, /etc/modules would take a reboot\n";

const std::vector<Scenario> kScenarios = {
    {"Pi 3 as shipped",
     {kPi3, bookwormConfig(), kCmdlineTxt, ""},
     uartNo("Raspberry Pi 3 Model B Rev 1.2, no /dev/serial0", kAddDisableBt) + kConsoleNo + kNamesNotYet + kI2cNo +
         "status 1\n",
     appended("+dtoverlay=disable-bt\n+dtparam=i2c_arm=on\n") + kCmdlineDiff + kModulesDiff + kAllThree},
    {"Pi 3 set up, with no /dev/serial0",
     {kPi3, bookwormConfig(kSetUp), kNoConsoleTxt, "i2c-dev\n"},
     "status 0\n",
     "nothing to change: every item of orvix-setup -c is OK\n",
     [](FakePi& pi) { pi.links.erase("serial0"); }},
    {"Pi 3 with disable-bt under [pi4]",
     {kPi3, bookwormConfig("dtparam=i2c_arm=on\n[pi4]\ndtoverlay=disable-bt\n"), kNoConsoleTxt, "i2c-dev\n"},
     uartNo("Raspberry Pi 3 Model B Rev 1.2, no /dev/serial0",
            "add dtoverlay=disable-bt to /boot/firmware/config.txt under [all] "
            "(the section it is in does not apply to this model), then reboot") +
         kNamesNotYet + "status 1\n",
     configDiff("@@ -21,3 +21,5 @@\n dtparam=i2c_arm=on\n [pi4]\n dtoverlay=disable-bt\n+[all]\n+dtoverlay=disable-bt\n") +
         "these changes to /boot/firmware/config.txt would take a reboot\n"},
    {"Pi 3 set up, with the placeholder ttyS0 an older rule left",
     {kPi3, bookwormConfig(kSetUp), kNoConsoleTxt, "i2c-dev\n"},
     "NO /dev/ttyS0 is a placeholder of the kernel's 8250 driver that reaches no UART "
     "(sudo udevadm control --reload && sudo udevadm trigger)\nstatus 1\n",
     "nothing to change here: what orvix-setup -c still names takes a reboot, or your hand\n",
     [](FakePi& pi) {
       pi.links.erase("ttyS0");
       pi.devices["ttyS0"] = "";
     }},
    {"Pi 4 with the serial hardware on",
     {kPi4, bookwormConfig("enable_uart=1\n"), kCmdlineTxt, "", {"hciuart.service"}},
     uartNo("Raspberry Pi 4 Model B Rev 1.4, /dev/serial0 -> ttyS0", kAddDisableBt) + kConsoleNo +
         "NO /dev/ttyS0 is the mini UART, on GPIO 14/15 until ttyAMA0 has them (" + kAddDisableBt + ")\n"
         "NO /dev/Arduino is missing, and the board UART is not set up (set it up first)\n" + kI2cNo + "status 1\n",
     configDiff("@@ -19,3 +19,5 @@\n \n [all]\n enable_uart=1\n+dtoverlay=disable-bt\n+dtparam=i2c_arm=on\n") +
         kCmdlineDiff + kModulesDiff + kAllThree},
    {"Zero W as shipped",
     {kZeroW, bookwormConfig(), kCmdlineTxt, ""},
     uartNo("Raspberry Pi Zero W Rev 1.1, no /dev/serial0", kAddDisableBt) + kConsoleNo + kNamesNotYet + kI2cNo +
         "status 1\n",
     appended("+dtoverlay=disable-bt\n+dtparam=i2c_arm=on\n") + kCmdlineDiff + kModulesDiff + kAllThree},
    {"Pi 5 as shipped",
     {kPi5, bookwormConfig(), kCmdlineTxt, ""},
     "NO board UART: no /dev/ttyAMA0 on GPIO 14/15 of this Raspberry Pi 5 Model B Rev 1.0, /dev/serial0 -> ttyAMA10 "
     "(add dtparam=uart0=on to /boot/firmware/config.txt, then reboot)\n" +
         kNamesNotYet + kI2cNo + "status 1\n",
     appended("+dtparam=uart0=on\n+dtparam=i2c_arm=on\n") + kModulesDiff +
         "these changes to /boot/firmware/config.txt, /etc/modules would take a reboot\n"},
    {"Pi 5 with the console moved to uart0",
     {kPi5, bookwormConfig("dtparam=uart0_console\ndtparam=i2c_arm=on\n"), kCmdlineTxt, "i2c-dev\n"},
     "NO serial console on the board UART: dtparam=uart0_console in /boot/firmware/config.txt moves it there "
     "(replace that line with dtparam=uart0=on, then reboot)\nstatus 1\n",
     configDiff("@@ -18,5 +18,5 @@\n otg_mode=1\n \n [all]\n-dtparam=uart0_console\n dtparam=i2c_arm=on\n"
                "+dtparam=uart0=on\n") +
         "these changes to /boot/firmware/config.txt would take a reboot\n"},
    {"Pi 1 B as shipped",
     {kPi1B, bookwormConfig(), kCmdlineTxt, ""},
     kConsoleNo + kI2cNo + "status 1\n",
     appended("+dtparam=i2c_arm=on\n") + kCmdlineDiff + kModulesDiff + kAllThree},
    {"Pi 2 as shipped",
     {kPi2, bookwormConfig(), kCmdlineTxt, ""},
     kConsoleNo + kI2cNo + "status 1\n",
     appended("+dtparam=i2c_arm=on\n") + kCmdlineDiff + kModulesDiff + kAllThree},
    {"Compute Module 3+ as shipped",
     {kCm3, bookwormConfig(), kCmdlineTxt, ""},
     "NO board UART: no /dev/ttyAMA0 on this Raspberry Pi Compute Module 3 Plus Rev 1.0, no /dev/serial0 "
     "(add enable_uart=1 and dtparam=uart0=on to /boot/firmware/config.txt, then reboot)\n" +
         kConsoleNo + kNamesNotYet + kI2cNo + "status 1\n",
     appended("+enable_uart=1\n+dtparam=uart0=on\n+dtparam=i2c_arm=on\n") + kCmdlineDiff + kModulesDiff + kAllThree},
};

TEST_F(SetupCheck, FixThenABootLeavesEveryModelAllOkUnderEitherFirmwareRule) {
  for (const auto& row : kScenarios) {
    for (const NrUarts rule : {NrUarts::MiniUart, NrUarts::EnableUart}) {
      SCOPED_TRACE(std::string(row.name) + (rule == NrUarts::MiniUart ? ", nr_uarts as the mini UART" : ", nr_uarts as enable_uart"));
      FakePi pi = boot(row.installed, rule);
      if (row.trap) row.trap(pi);
      const Tree tree(pi);
      auto r = onTree(tree,
                      "state() { find /boot /etc/modules* /etc/systemd/system -printf '%p %l\\n' 2>/dev/null; "
                      "cat /boot/*.txt /boot/firmware/*.txt /etc/modules 2>/dev/null | md5sum; }; "
                      "{ \"$t/orvix-setup\" -c; echo \"status $?\"; } | grep -v '^OK'; "
                      "\"$t/orvix-setup\" --fix --dry-run; \"$t/orvix-setup\" --fix >$t/fixed 2>&1 || cat $t/fixed; "
                      "state >$t/once; \"$t/orvix-setup\" --fix >/dev/null 2>&1; state | diff $t/once - || echo changed; "
                      "rm -f $t/modules; cp /etc/modules $t/modules 2>/dev/null; :");
      // Where the mini UART is off, the firmware may or may not leave its placeholder.
      std::string expected = row.notOk + row.diff;
      if (rule == NrUarts::EnableUart && !pi.links.contains("ttyS0") && pi.devices.contains("ttyS0") &&
          pi.devices.at("ttyS0").empty())
        if (const auto at = expected.find("/dev/ttyS0 is missing, and"); at != std::string::npos)
          expected.replace(at, std::string("/dev/ttyS0 is missing").size(),
                           "/dev/ttyS0 is a placeholder of the kernel's 8250 driver that reaches no UART");
      EXPECT_EQ(r.out, expected);
      EXPECT_EQ(r.err, "");
      // The boot from what --fix left.
      Installed after = row.installed;
      after.config = bench::slurp(tree.path() / fs::path(after.configPath).relative_path());
      after.cmdlineTxt = bench::slurp(tree.path() / fs::path(after.configPath).relative_path().parent_path() / "cmdline.txt");
      after.modules = fs::exists(tree.path() / "modules") ? bench::slurp(tree.path() / "modules") : "";
      after.units.clear();
      for (const auto& e : fs::directory_iterator(tree.path() / "systemd/multi-user.target.wants"))
        after.units.push_back(e.path().filename().string());
      r = check(boot(after, rule));
      EXPECT_EQ(r.out.find("NO "), std::string::npos) << r.out;

      EXPECT_TRUE(r.out.ends_with("status 0\n")) << r.out;
    }
  }
}

TEST_F(SetupCheck, Pi4WithBluetoothOnTheMiniUartKeepsATtyS0OfItsOwn) {
  FakePi pi = pi3DisableBt();
  pi.model = "Raspberry Pi 4 Model B Rev 1.4";
  pi.config = bookwormConfig("enable_uart=1\ndtoverlay=miniuart-bt\ndtparam=i2c_arm=on\n");
  pi.devices["ttyS0"] = kMini;
  pi.dt["soc/gpio@7e200000/bt_pins/brcm,pins"] = std::string("\0\0\0\x20", 4);
  pi.links = {{"serial0", "ttyAMA0"}, {"serial1", "ttyS0"}, {"Arduino", "ttyAMA0"}};
  pi.enabledUnits = {"hciuart.service"};
  const auto r = check(pi);
  EXPECT_EQ(r.out,
            "OK board UART /dev/ttyAMA0 on GPIO 14/15 of this Raspberry Pi 4 Model B Rev 1.4, /dev/serial0 -> ttyAMA0\n"
            "NO hciuart.service is enabled: it attaches the Bluetooth chip to a UART (sudo systemctl disable hciuart)\n"
            "OK no serial console on the board UART\n"
            "NO /dev/ttyS0 is the mini UART, a UART of its own, not the board UART "
            "(replace dtoverlay=miniuart-bt with dtoverlay=disable-bt in /boot/firmware/config.txt, then reboot)\n"
            "OK /dev/Arduino -> ttyAMA0, the board UART\n"
            "OK /dev/i2c-1, the RTC's bus\n"
            "OK no kernel driver holds 1-0068, the RTC's address\n"
            "OK root needs no group for the devices\n" +
                helpersOk() + "status 1\n");
}

TEST_F(SetupCheck, PiZeroForAUserWithoutGroupsWithTheKernelsRtcDriverAndNoHelpers) {
  // Checked by nobody, who is in none of the groups; config.txt is where Bullseye keeps it.
  auto r = onPi(piZero(),
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
  // Such a user may look at the fix, but not make it.
  r = onPi(piZero(),
           "as() { setpriv --reuid=65534 --regid=65534 --clear-groups \"$t/orvix-setup\" \"$@\"; echo \"status $?\"; }; "
           "as --fix --dry-run | sed -n '1,7p;$p'; as --fix",
           false);
  EXPECT_EQ(r.out,
            "--- /boot/config.txt\n+++ /boot/config.txt\n@@ -1,4 +1,3 @@\n dtparam=audio=on\n dtparam=i2c_arm=on\n"
            " enable_uart=1\n-dtoverlay=i2c-rtc,ds3231\nstatus 0\nstatus 1\n");
  EXPECT_EQ(r.err, "orvix-setup: run it as root: sudo orvix-setup --fix\n");
}

TEST_F(SetupCheck, UnderSudoTheCallersGroupsCountAndAHelperLinkThatLeadsNowhereIsNamed) {
  // The package was removed and its loader with it; the link that orvix-setup made stays.
  auto r = onPi(piZero(),
                      "mkdir -p /home/pi/bin && ln -s /usr/lib/orvix/mcuload /home/pi/bin/mcuload && "
                      "SUDO_USER=nobody \"$t/orvix-setup\" -c | sed -n '/group\\|mcuload/p'",
                      false);
  EXPECT_EQ(r.out,
            "NO nobody is not in group dialout, for the serial ports (sudo adduser nobody dialout, then log in again)\n"
            "NO nobody is not in group i2c, for the RTC's bus (sudo adduser nobody i2c, then log in again)\n"
            "NO nobody is not in group gpio, for the reset line and the button "
            "(sudo adduser nobody gpio, then log in again)\n"
            "NO /home/pi/bin/mcuload -> /usr/lib/orvix/mcuload, the loader, leads nowhere (sudo orvix-setup)\n");
  // --fix puts that user in the groups, in the bench's own /etc.
  r = onPi(piZero(),
           "SUDO_USER=nobody \"$t/orvix-setup\" --fix | grep usermod; SUDO_USER=nobody \"$t/orvix-setup\" -c | grep group",
           false);
  EXPECT_EQ(r.out,
            "running: usermod -a -G dialout,i2c,gpio nobody\n"
            "OK nobody is in group dialout, for the serial ports\n"
            "OK nobody is in group i2c, for the RTC's bus\n"
            "OK nobody is in group gpio, for the reset line and the button\n");
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

TEST_F(SetupCheck, OffAPiItSaysSoAndChangesNothing) {
  FakePi pc{.procCmdline = "root=/dev/sda1 console=ttyS0,115200\n", .devices = {{"ttyS0", ""}}};
  // /dev/pts is the host's: other tests' lines come and go in it meanwhile.
  const std::string list =
      "find /dev /home /sys /boot /etc/systemd/system -path /dev/pts -prune -o -printf '%p %y %m %l\\n'";
  const auto r = onPi(pc, list + " >$t/before; \"$t/orvix-setup\" -c | head -n 1; \"$t/orvix-setup\" --fix; echo \"fix $?\"; " +
                              list + " | diff $t/before - && echo unchanged");
  EXPECT_EQ(r.out,
            "NO board UART: no Raspberry Pi model in /sys/firmware/devicetree/base/model (run the check on the Pi)\n"
            "fix 1\nunchanged\n");
  EXPECT_EQ(r.err,
            "orvix-setup: no Raspberry Pi model in /sys/firmware/devicetree/base/model: this is not a Raspberry Pi, "
            "so nothing was changed\n");
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
                    " 2>/dev/null | grep -E '^(TAGS=|run: )'; "
                    "find /dev -maxdepth 1 -type l -lname 'tty*' -printf '%p -> %l\\n' | sort");
  }
  bench::TempDir rules_;
};

TEST_F(UdevRule, LinksArduinoAndTtyS0ToTheBoardUart) {
  auto r = apply(pi3DisableBt(), "/sys/class/tty/ttyAMA0");
  EXPECT_EQ(r.out, "/dev/Arduino -> ttyAMA0\n/dev/ttyS0 -> ttyAMA0\n");
  // The placeholder that the firmware's 8250.nr_uarts=1 leaves is no port: ttyS0 is linked all
  // the same, and the placeholder's own rule takes its node away and runs ttyAMA0's again.
  FakePi pi = pi3DisableBt();
  pi.devices["ttyS0"] = "";
  r = apply(pi, "/sys/class/tty/ttyAMA0");
  EXPECT_EQ(r.out, "/dev/Arduino -> ttyAMA0\n/dev/ttyS0 -> ttyAMA0\n");
  r = apply(pi, "/sys/class/tty/ttyS0");
  EXPECT_EQ(r.out,
            "run: '/bin/sh -c 'rm -f /dev/ttyS0; test -e /sys/class/tty/ttyAMA0/uevent && "
            "echo change >/sys/class/tty/ttyAMA0/uevent''\n");
}

TEST_F(UdevRule, LeavesAMiniUartItsOwnName) {
  // Bluetooth driven through hciuart, as before Bookworm, and the mini UART on GPIO 14/15.
  FakePi pi = boot({kPi4, bookwormConfig("enable_uart=1\n"), kCmdlineTxt, ""}, NrUarts::MiniUart);
  pi.devices["ttyAMA0"] = kPl011;
  auto r = apply(pi, "/sys/class/tty/ttyAMA0");
  EXPECT_EQ(r.out, "/dev/Arduino -> ttyAMA0\n");
  r = apply(pi, "/sys/class/tty/ttyS0");
  EXPECT_EQ(r.out, "");
}

TEST_F(UdevRule, TagsTheRtcsBusForSystemdAndNothingElse) {
  auto r = apply(pi5(false), "/sys/class/i2c-dev/i2c-1");
  EXPECT_EQ(r.out, "TAGS=:systemd:\n");
  r = apply(pi5(false), "/sys/class/tty/ttyAMA10");
  EXPECT_EQ(r.out, "");
}
