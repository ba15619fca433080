# The set-up check of orvix-setup -c, which --fix runs too, to plan its changes; orvix-setup
# reads this file (and gives it say and fail), it is no command of its own. It reads the
# system's own files and devices only: one line per item, "OK ..." or "NO ... (how to fix)",
# and status 0 only when every item is OK. Each NO also notes what
# --fix does about it: config.txt lines to drop (EREs) and to add, console words to drop from
# cmdline.txt, i2c-dev for /etc/modules, a unit to disable, groups, the links.
uart=/dev/ttyAMA0
dt=/sys/firmware/devicetree/base
bad=0
drop='' add='' words='' modules=0 unit='' groups='' relink=0 helpers=0
ok() { say "OK $*"; }
no() {
  say "NO $*"
  bad=1
}

# A path as the user sees it: "PATH -> TARGET" for a link.
shown() {
  if [ -L "$1" ]; then
    printf '%s -> %s' "$1" "$(readlink -- "$1")"
  else
    printf '%s' "$1"
  fi
}

# The lines of config.txt that the firmware reads on this model: a [filter] that names another
# model, or a condition that cannot be known from here, hides what follows up to the next
# filter that matches, or [all].
applies() {
  awk -v tags=" all $tags " 'BEGIN { on = 1 }
    { line = $0; sub(/\r$/, "", line); gsub(/^[ \t]+|[ \t]+$/, "", line) }
    line ~ /^\[.*\]$/ { on = index(tags, " " substr(line, 2, length(line) - 2) " ") > 0; next }
    on && line != "" && line !~ /^#/ { print line }' "$config" 2>/dev/null
}
has() { applies | grep -Eqx -- "$1"; }
# The value that the last dtparam= line of any NAME gives where it applies; a bare NAME is on.
param() {
  applies | awk -F= -v names=" $* " '$1 == "dtparam" && index(names, " " $2 " ") { v = NF > 2 ? $3 : "on" }
    END { print v }'
}
is_on() { case $1 in on | true | yes | 1) return 0 ;; esac; return 1; }

# The fix that puts each LINE where the firmware reads it on this model (--fix appends it under
# [all]), or only the reboot when they are all there already; in $said.
add_lines() {
  missing='' hidden=0
  for line; do
    has "$line" && continue
    missing="${missing:+$missing and }$line"
    add="$add $line"
    grep -qx "[[:blank:]]*${line}[[:blank:]]*" "$config" 2>/dev/null && hidden=1
  done
  if [ -z "$missing" ]; then
    said=$(printf '%s are in %s: reboot' "$(printf '%s' "$*" | sed 's/ / and /g')" "$config")
    [ "$#" -gt 1 ] || said=$(printf '%s is in %s: reboot' "$1" "$config")
  elif [ "$hidden" = 1 ]; then
    said="add $missing to $config under [all] (the section it is in does not apply to this model), then reboot"
  else
    said="add $missing to $config, then reboot"
  fi
}

# A unit enabled the way systemctl enable does it: a link in a .wants folder.
enabled() {
  for wants in /etc/systemd/system/*.wants/"$1"; do
    if [ -e "$wants" ] || [ -L "$wants" ]; then return 0; fi
  done
  return 1
}

# The device-tree node of a tty, as /proc/device-tree/aliases names nodes.
node_of() {
  node=$(readlink -f "/sys/class/tty/$1/device/of_node" 2>/dev/null) && [ -n "$node" ] && printf '%s' "${node#"$(readlink -f $dt)"}"
}
# Each read silences stderr before it opens its input: off a Pi, the files are missing.
alias_of() { tr -d '\000' 2>/dev/null <"$dt/aliases/$1"; }

# Whether a ttyS* is a port of its own: the mini UART has a device-tree node and a type. The
# 8250 driver's placeholder, left by the firmware's 8250.nr_uarts for a mini UART that is off,
# has neither and reaches nothing.
real_port() {
  [ -e "/sys/class/tty/$1/device/of_node" ] && type=$(cat "/sys/class/tty/$1/type" 2>/dev/null) && [ "${type:-0}" != 0 ]
}

# The header UART (GPIO 14/15) is the PL011, ttyAMA0, on every model once set up; it is there
# when the kernel's serial0 alias names ttyAMA0's node (on models with Bluetooth it drives the
# Bluetooth chip until disable-bt). /dev/serial0 is shown for information only.
check_uart() {
  uart_ok=0
  where="this $model, $(shown /dev/serial0)"
  [ -e /dev/serial0 ] || [ -L /dev/serial0 ] || where="this $model, no /dev/serial0"
  case $kind in
    pi5) add_lines dtparam=uart0=on ;;
    bt) add_lines dtoverlay=disable-bt $cm ;;
    plain)
      add_lines enable_uart=1 $cm
      enable=$(applies | sed -n 's/^enable_uart=//p' | tail -n 1)
      if [ -n "$enable" ] && [ "$enable" != 1 ]; then
        drop="$drop|enable_uart=.*" add="$add enable_uart=1"
        said="replace enable_uart=$enable with enable_uart=1 in $config, then reboot"
      fi
      ;;
  esac
  uart_fix=$said
  ready=0
  if [ -c $uart ]; then
    serial0=$(alias_of serial0)
    if [ -n "$serial0" ] && node=$(node_of ttyAMA0); then
      [ "$node" = "$serial0" ] && ready=1
    elif [ "$kind" != bt ]; then
      ready=1
    fi
  fi
  if [ "$ready" = 1 ]; then
    add='' drop=''
    ok "board UART $uart on GPIO 14/15 of $where"
    uart_ok=1
  elif [ "$kind" = bt ]; then
    no "board UART: the Bluetooth chip holds ttyAMA0 on $where ($uart_fix)"
  elif [ "$kind" = pi5 ]; then
    no "board UART: no $uart on GPIO 14/15 of $where ($uart_fix)"
  else
    no "board UART: no $uart on $where ($uart_fix)"
  fi
}

# hciuart attaches the Bluetooth chip to /dev/serial1. It is inert where disable-bt emptied the
# Bluetooth pins (its condition fails) or where there is no serial1 to pull it in.
check_bluetooth() {
  [ "$kind" = bt ] || return 0
  if ! enabled hciuart.service; then
    ok "hciuart.service is not enabled"
  elif [ ! -s "$dt/soc/gpio@7e200000/bt_pins/brcm,pins" ]; then
    ok "hciuart.service is enabled, and inert: no Bluetooth pins in the device tree"
  elif [ ! -e /dev/serial1 ]; then
    ok "hciuart.service is enabled, and inert: no /dev/serial1 to attach"
  else
    unit=hciuart.service
    no "hciuart.service is enabled: it attaches the Bluetooth chip to a UART (sudo systemctl disable hciuart)"
  fi
}

# A console on the board UART, configured in cmdline.txt or running since the last boot. On a
# Pi 5, serial0 is the debug connector's UART (ttyAMA10), unless dtparam=uart0_console moves
# the console to the header's.
check_console() {
  names='ttyAMA0|ttyS0'
  [ "$kind" = pi5 ] || names="serial0|$names"
  words=$(console_words "$cmdline")
  running=$(console_words /proc/cmdline | head -n 1)
  if [ "$kind" = pi5 ] && has 'dtparam=uart0_console(=.*)?'; then
    drop="$drop|dtparam=uart0_console(=.*)?"
    has 'dtparam=uart0(=(on|true|yes|1))?' || add="$add dtparam=uart0=on"
  fi
  if [ -n "$words" ]; then
    no "serial console on the board UART: $(printf '%s\n' "$words" | head -n 1) in $cmdline (remove that word, then reboot)"
  elif [ "$kind" = pi5 ] && has 'dtparam=uart0_console(=.*)?'; then
    no "serial console on the board UART: dtparam=uart0_console in $config moves it there" \
      "(replace that line with dtparam=uart0=on, then reboot)"
  elif [ -n "$running" ]; then
    no "serial console on the board UART: $running since the last boot (reboot)"
  else
    ok "no serial console on the board UART"
  fi
}
console_words() { tr -s ' \t' '\n' 2>/dev/null <"$1" | grep -E "^console=($names)(,|\$)"; }

# A name the tools open, which must lead to the board UART.
check_name() {
  if [ -L "$1" ]; then
    seen=$(shown "$1")
  elif [ -c "$1" ] && ! real_port "${1#/dev/}"; then
    seen="$1 is a placeholder of the kernel's 8250 driver that reaches no UART"
  elif [ -e "$1" ]; then
    seen="$1 is a device"
  else
    seen="$1 is missing"
  fi
  if [ -L "$1" ] && [ "$(readlink -e -- "$1")" = $uart ] && [ "$uart_ok" = 1 ]; then
    ok "$seen, the board UART"
  elif [ -c "$1" ] && [ ! -L "$1" ] && real_port "${1#/dev/}"; then
    no "$1 is the mini UART, $(mini_uart)"
  elif [ "$uart_ok" != 1 ]; then
    no "$seen, and the board UART is not set up (set it up first)"
  elif [ -L "$1" ]; then
    relink=1
    no "$seen, not the board UART ($(relink))"
  else
    relink=1
    no "$seen ($(relink))"
  fi
}

# A rule of the same name in /etc, such as a copy made after an older set-up, hides the package's.
relink() {
  if [ -e /etc/udev/rules.d/99-orvix.rules ]; then
    printf 'remove /etc/udev/rules.d/99-orvix.rules, which hides the rule of orvix-tools; then '
  fi
  printf 'sudo udevadm control --reload && sudo udevadm trigger'
}

# Where the mini UART is primary it has GPIO 14/15 until disable-bt gives them to ttyAMA0 and
# turns it off; elsewhere it is a UART of its own, which the tools must not reach as ttyS0.
mini_uart() {
  if [ "$kind" = bt ] && [ "$uart_ok" != 1 ]; then
    printf 'on GPIO 14/15 until ttyAMA0 has them (%s)' "$uart_fix"
  elif [ "$kind" = bt ] && has 'dtoverlay=miniuart-bt(,.*)?'; then
    drop="$drop|dtoverlay=miniuart-bt(,.*)?"
    add="$add dtoverlay=disable-bt"
    printf 'a UART of its own, not the board UART (replace dtoverlay=miniuart-bt with dtoverlay=disable-bt in %s, then reboot)' "$config"
  else
    drop="$drop|dtparam=uart1(=.*)?"
    printf 'a UART of its own, not the board UART (turn it off: no dtparam=uart1=on in %s; then reboot)' "$config"
  fi
}

check_i2c() {
  if [ -c /dev/i2c-1 ]; then
    ok "/dev/i2c-1, the RTC's bus"
  else
    if is_on "$(param i2c_arm i2c)"; then
      bus="dtparam=i2c_arm=on is in $config"
    else
      add="$add dtparam=i2c_arm=on"
      bus="add dtparam=i2c_arm=on to $config"
    fi
    if grep -Eq '^[[:blank:]]*i2c[-_]dev([[:blank:]]|$)' /etc/modules 2>/dev/null; then
      dev=''
    else
      modules=1
      dev='i2c-dev to /etc/modules'
    fi
    case $bus,$dev in
      add*,?*) fix="$bus and $dev, then reboot" ;;
      add*) fix="$bus, then reboot" ;;
      *,?*) fix="$bus; add $dev, then reboot" ;;
      *) fix="$bus and i2c-dev in /etc/modules: reboot" ;;
    esac
    no "/dev/i2c-1 is missing ($fix)"
  fi
  # A kernel driver bound at the RTC's address keeps wiringPi from it.
  driver=/sys/bus/i2c/devices/1-0068/driver
  if [ -e "$driver" ] || [ -L "$driver" ]; then
    overlay=$(grep -m 1 '^[[:blank:]]*dtoverlay=i2c-rtc' "$config" 2>/dev/null | tr -d '[:blank:]')
    drop="$drop|dtoverlay=i2c-rtc(,.*)?"
    no "the kernel driver $(basename -- "$(readlink -- "$driver")") holds 1-0068, the RTC's address" \
      "(remove ${overlay:-the dtoverlay=i2c-rtc line} from $config, then reboot)"
  else
    ok "no kernel driver holds 1-0068, the RTC's address"
  fi
}

# The groups of the user who runs the tools: the caller, or the one who called sudo.
check_groups() {
  user=${SUDO_USER:-$(id -un)}
  if [ "$user" = root ]; then
    ok "root needs no group for the devices"
    return
  fi
  if [ -n "${SUDO_USER:-}" ]; then
    mine=" $(id -nG -- "$user" 2>/dev/null) "
  else
    mine=" $(id -nG) "
  fi
  for pair in "dialout:the serial ports" "i2c:the RTC's bus" "gpio:the reset line and the button"; do
    group=${pair%%:*}
    case $mine in
      *" $group "*) ok "$user is in group $group, for ${pair#*:}" ;;
      *)
        groups="${groups:+$groups,}$group"
        no "$user is not in group $group, for ${pair#*:} (sudo adduser $user $group, then log in again)"
        ;;
    esac
  done
}

check_file() {  # PATH -x|-r WHAT FIX
  case $4 in *"sudo orvix-setup") [ -f "$1" ] && test "$2" "$1" || helpers=1 ;; esac
  if [ -f "$1" ] && test "$2" "$1"; then
    ok "$(shown "$1"), $3"
  elif [ -L "$1" ] && [ ! -e "$1" ]; then
    no "$(shown "$1"), $3, leads nowhere ($4)"
  elif [ -e "$1" ]; then
    no "$1, $3, cannot be used ($4)"
  else
    no "$1, $3, is missing ($4)"
  fi
}

# The model, from the device tree's model string: KIND says how its GPIO 14/15 becomes ttyAMA0,
# TAGS which config.txt filters apply to it, CM the line a Compute Module's UART also needs (its
# UARTs are off by default, and enable_uart alone may not turn uart0 on).
identify() {
  config=/boot/firmware/config.txt
  [ -e $config ] || [ ! -e /boot/config.txt ] || config=/boot/config.txt
  cmdline=${config%/*}/cmdline.txt
  model=$(tr -d '\000' 2>/dev/null <$dt/model)
  cm=''
  case $model in
    *"Compute Module"*) cm=dtparam=uart0=on ;;
  esac
  case $model in
    *"Raspberry Pi 5"*) kind=pi5 tags=pi5 ;;
    *"Compute Module 5"*) kind=pi5 tags="pi5 cm5" ;;
    *"Compute Module 4S"*) kind=plain tags="pi4 cm4s" ;;
    *"Compute Module 4"*) kind=bt tags="pi4 cm4" ;;
    *"Raspberry Pi 400"*) kind=bt tags="pi4 pi400" ;;
    *"Raspberry Pi 4"*) kind=bt tags=pi4 ;;
    *"Compute Module 3"*) kind=plain tags=pi3 ;;
    *"Raspberry Pi 3 Model B Plus"* | *"Raspberry Pi 3 Model A Plus"*) kind=bt tags="pi3 pi3+" ;;
    *"Raspberry Pi 3"*) kind=bt tags=pi3 ;;
    *"Raspberry Pi 2"*) kind=plain tags=pi2 ;;
    *"Zero 2 W"*) kind=bt tags="pi0 pi02" ;;
    *"Zero W"*) kind=bt tags="pi0 pi0w" ;;
    *"Zero"*) kind=plain tags=pi0 ;;
    *"Raspberry Pi"*) kind=plain tags=pi1 ;;
    *) kind=none tags='' ;;
  esac
}

check_setup() {
  identify
  if [ "$kind" = none ]; then
    no "board UART: no Raspberry Pi model in $dt/model (run the check on the Pi)"
  else
    check_uart
    check_bluetooth
    check_console
    check_name /dev/ttyS0
    check_name /dev/Arduino
    check_i2c
  fi
  check_groups
  check_file /home/velmont/avrdude -x "the programmer" "sudo apt install avrdude && sudo orvix-setup"
  check_file /home/velmont/avrdude.conf -r "its configuration" "sudo apt install avrdude && sudo orvix-setup"
  check_file /home/pi/bin/mcuload -x "the loader" "sudo orvix-setup"
  check_file /home/pi/bin/mcusketches/WaitSketch.hex -r "the pin-wait sketch" "sudo orvix-setup"
}
