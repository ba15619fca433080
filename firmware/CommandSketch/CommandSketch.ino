// CommandSketch: runs a shell command on the Pi through the serial command
// interceptor, at the interceptor's 115200 baud. On a trigger (digital pin 2 going
// high, or the line "RUN") it sends, each line ended by "\n":
//
//   "$$$Ardu " and its command   then waits up to 2 s for the "OK" or "NO" line
//   "$$$Resp "                   then relays every line that comes back as "GOT " and
//                                the line, until 1 s passes without one
//   "$$$Cend "                   which ends the interceptor
//
// and then "DONE". Other lines:
//   ?            CommandSketch
//   CMD text     text becomes the command (at most 60 characters; "uname -s" at start)
//
// Lines that begin with "$$$" or "GOT " are the port's echo of the sketch's own output
// (a port in echo mode sends it back) and are ignored. On start it sends
// "CommandSketch started".

#include <avr/sleep.h>

const byte kTriggerPin = 2;
const byte kLineMax = 64;  // longer lines are cut
char line[kLineMax + 1];
byte length = 0;
bool caret = false;  // the byte before was '^'
char shellCommand[kLineMax + 1] = "uname -s";
int lastTrigger = LOW;

void itsMe() { Serial.print(F("CommandSketch\n")); }

// Gathers the next line from the link, without its ending. Bytes outside printable
// ASCII (what a wrong baud rate makes of a line) are dropped. A port in echo mode but
// not in canonical mode (as the query tools leave it) sends the sketch's own line ends
// back as "^J": that ends a line too, or the echo of an answer would become the start
// of the next command.
bool lineReceived() {
  while (Serial.available() > 0) {
    const int c = Serial.read();
    const bool echoedEnd = caret && c == 'J';
    caret = c == '^';
    if (echoedEnd && length > 0 && line[length - 1] == '^') --length;
    if (c == '\n' || c == '\r' || echoedEnd) {
      if (length == 0) continue;  // the second half of a CR LF, or an empty line
      line[length] = '\0';
      length = 0;
      return true;
    }
    if (c >= ' ' && c <= '~' && length < kLineMax) line[length++] = char(c);
  }
  return false;
}

bool ownEcho() { return strncmp(line, "$$$", 3) == 0 || strncmp(line, "GOT ", 4) == 0; }

// The next line that is not an echo, within `ms` milliseconds of silence.
bool nextLine(unsigned long ms) {
  unsigned long since = millis();
  while (millis() - since < ms) {
    if (!lineReceived()) continue;
    if (!ownEcho()) return true;
    since = millis();
  }
  return false;
}

void runCommand() {
  Serial.print(F("$$$Ardu "));
  Serial.print(shellCommand);
  Serial.print('\n');
  const unsigned long sent = millis();
  for (unsigned long waited = 0; waited < 2000; waited = millis() - sent) {
    if (nextLine(2000 - waited) && (strcmp(line, "OK") == 0 || strcmp(line, "NO") == 0)) break;
  }
  Serial.print(F("$$$Resp \n"));
  while (nextLine(1000)) {
    Serial.print(F("GOT "));
    Serial.print(line);
    Serial.print('\n');
  }
  Serial.print(F("$$$Cend \n"));
  Serial.print(F("DONE\n"));
}

// Nothing to do until the next interrupt: the millisecond timer, or a byte from the
// link. A sketch that sleeps between polls spares the board's power (and the bench's
// simulator, which skips the cycles of a sleeping chip).
void idle() {
  set_sleep_mode(SLEEP_MODE_IDLE);
  sleep_mode();
}

void setup() {
  pinMode(kTriggerPin, INPUT);
  Serial.begin(115200);
  Serial.print(F("CommandSketch started\n"));
}

void loop() {
  const int trigger = digitalRead(kTriggerPin);
  const bool rose = trigger == HIGH && lastTrigger == LOW;
  lastTrigger = trigger;
  if (rose) {
    runCommand();
    return;
  }
  if (!lineReceived()) {
    idle();
    return;
  }
  if (strcmp(line, "?") == 0) {
    itsMe();
  } else if (strcmp(line, "RUN") == 0) {
    runCommand();
  } else if (strncmp(line, "CMD ", 4) == 0) {
    strcpy(shellCommand, line + 4);
  }
}
