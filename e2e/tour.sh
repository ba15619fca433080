#!/bin/bash
# The demo tour: the suite on the virtual board and its microcontroller, each step shown
# with what it printed and its status.
#   tour.sh BUILD_DIR
# The board lives in a temporary folder; the chip is stopped and the folder removed on
# every way out (the end, a failed step, Ctrl-C, a kill).
set -euo pipefail
build=$(cd "${1:?usage: tour.sh BUILD_DIR}" && pwd)
sketches=$build/bin/mcusketches
if [ ! -x "$build/vmcu" ] || [ ! -f "$sketches/LinkTest.hex" ]; then
  echo "tour: no virtual microcontroller in $build (it needs libsimavr-dev, gcc-avr, avr-libc, arduino-core-avr)" >&2
  exit 1
fi

board=$(mktemp -d)
waiting=()  # vboard runs left in the background
cleanup() {
  for pid in "${waiting[@]}"; do kill "$pid" 2>/dev/null || true; done
  # Stopping the chip also ends a tool still waiting on its line: the line hangs up.
  "$build/vboard" --board "$board" mcu stop >/dev/null 2>&1 || true
  rm -rf "$board"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

vb() { "$build/vboard" --board "$board" "$@"; }
step() { echo; echo "== $* =="; }
status() { echo "  (status $1)"; }
board_cmd() { # a vboard command
  local rc
  echo "\$ vboard $*"
  vb "$@" && rc=0 || rc=$?
  status $rc
}
tool() { # a tool run on the board
  local rc
  echo "\$ vboard run -- $*"
  vb run --timeout 60 -- "$@" && rc=0 || rc=$?
  status $rc
  # The tool has the terminal while it runs, so a Ctrl-C reaches it alone: end the tour too.
  [ $rc -ne 130 ] || exit 130
}
background() { # a tool that waits, left running on the board; the terminal stays the tour's
  echo "\$ vboard run -- $* &"
  vb run --timeout 20 -- "$@" </dev/null &
  waiting+=($!)
}
finish() { # the last tool left in the background
  local rc
  wait "${waiting[-1]}" && rc=0 || rc=$?
  unset 'waiting[-1]'
  status $rc
}
# Waits until the chip's log holds TEXT at least N times (default once). A sketch's start-up
# line is awaited whole, as the chip sent it with no one listening: the upload's own bytes
# hold the same text, and a tool started while the line is still going out would take its
# tail for an answer.
wait_log() {
  local i
  for i in $(seq 100); do
    [ "$(vb mcu log | grep -cF -- "$1")" -ge "${2:-1}" ] && return 0
    sleep 0.1
  done
  echo "tour: the chip never logged: $1" >&2
  return 1
}

cd "$sketches"  # the sketches by their file names

step "The virtual board, and its microcontroller with an empty flash"
board_cmd mcu start
echo "(each run has the Pi as orvix-setup leaves it: /home/velmont/avrdude -> /usr/bin/avrdude,"
echo " its configuration, the loader /home/pi/bin/mcuload and /home/pi/bin/mcusketches/WaitSketch.hex)"

step "The board's clock, set to 7 December 2026 09:05:41"
vb rtc set 2026-12-07 09:05:41
tool clockshow
tool clockshow -t

step "Flash a sketch: mcuflash runs avrdude, which talks to optiboot on the chip"
tool mcuflash LinkTest.hex
wait_log 'lost "LinkTest started\n"'

step "Query it"
tool sketchcheck LinkTest
tool whichsketch
tool sketchquery 'ECHO hello from the Pi'

step "Wait for a pin: pinwait uploads its own sketch first, through the loader"
tool pinwait -dig 6 1
wait_log 'lost "WaitSketch started\n"'
background pinwait -dig 6 1
wait_log 'INTD6=1'
board_cmd pin D6 1
finish
board_cmd adc 2 1000
background pinwait -ana 2 gt 500
wait_log 'INTA2>500'
board_cmd adc 2 3000
finish

step "Run a command from the sketch: CommandSketch asks cmdlistener for 'uname -s'"
tool mcuflash CommandSketch.hex
wait_log 'lost "CommandSketch started\n"'
opens=$(vb mcu log | grep -cF 'port opened')
background cmdlistener
wait_log 'port opened' $((opens + 1))
sleep 0.3  # its set-up of the line, and its other two opens
board_cmd pin D2 1  # the sketch's trigger
finish
board_cmd pin D2 0  # or the sketch, restarted, would take the high pin for a trigger

step "Reset it: the sketch starts again"
started='lost "CommandSketch started\n"'
starts=$(vb mcu log | grep -cF "$started")
tool mcureset
wait_log "$started" $((starts + 1))
vb mcu log | grep -E ' reset$|CommandSketch started' | tail -n 2 | sed 's/^/  /'

step "Stop the microcontroller"
board_cmd mcu stop
