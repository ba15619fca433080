// WaitSketch, the pin-wait sketch, at 9600 baud. It watches one pin condition at a
// time and answers "OK" once it holds (at once if it holds already):
//
//   ?          WaitSketch
//   INTDn=v    digital pin n (3 to 13) at level v (0 or 1)
//   INTAncv    analog input n (0 to 5) above (c is '>') or below (c is '<') the value
//              v (0 to 1024), against its 10-bit reading
//
// A new caller begins with the identity query, then sends its wait: either ends the wait
// pending, so a wait whose caller gave up (killed while it waited) can never answer the
// next caller "OK". A wait whose pin, level or value is out of range is answered
// "NO range"; other lines are ignored. Answers end with "\n".
// On start it sends "WaitSketch started".

#include <avr/sleep.h>

const byte kLineMax = 48;  // longer lines are cut
char line[kLineMax + 1];
byte length = 0;
bool caret = false;  // the byte before was '^'

enum Wait { kNone, kDigital, kAbove, kBelow };
Wait wait = kNone;
int waitPin = 0;
int waitValue = 0;

void itsMe() { Serial.print(F("WaitSketch\n")); }

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

// A whole decimal number from `text` up to `stop`, or -1.
long number(const char* text, char stop, const char** after) {
  char* end = nullptr;
  const long n = strtol(text, &end, 10);
  if (end == text || *end != stop || n < 0) return -1;
  *after = end;
  return n;
}

void command() {
  const char* at = nullptr;
  if (strcmp(line, "?") == 0 || strncmp(line, "INTD", 4) == 0 || strncmp(line, "INTA", 4) == 0) wait = kNone;
  if (strcmp(line, "?") == 0) {
    itsMe();
  } else if (strncmp(line, "INTD", 4) == 0) {
    const long pin = number(line + 4, '=', &at);
    if (pin < 0) return;
    const long level = number(at + 1, '\0', &at);
    if (level < 0) return;
    if (pin < 3 || pin > 13 || level > 1) {
      Serial.print(F("NO range\n"));
      return;
    }
    pinMode(pin, INPUT);
    wait = kDigital;
    waitPin = pin;
    waitValue = level;
  } else if (strncmp(line, "INTA", 4) == 0) {
    const char* p = line + 4;
    if (*p < '0' || *p > '9') return;
    const int input = *p++ - '0';
    const char comparator = *p++;
    if (comparator != '>' && comparator != '<') return;
    const long value = number(p, '\0', &at);
    if (value < 0) return;
    if (input > 5 || value > 1024) {
      Serial.print(F("NO range\n"));
      return;
    }
    wait = comparator == '>' ? kAbove : kBelow;
    waitPin = A0 + input;
    waitValue = value;
  }
}

bool holds() {
  switch (wait) {
    case kDigital:
      return digitalRead(waitPin) == waitValue;
    case kAbove:
      return analogRead(waitPin) > waitValue;
    case kBelow:
      return analogRead(waitPin) < waitValue;
    case kNone:
      break;
  }
  return false;
}

// Nothing to do until the next interrupt: the millisecond timer, or a byte from the
// link. A sketch that sleeps between polls spares the board's power (and the bench's
// simulator, which skips the cycles of a sleeping chip).
void idle() {
  set_sleep_mode(SLEEP_MODE_IDLE);
  sleep_mode();
}

void setup() {
  Serial.begin(9600);
  Serial.print(F("WaitSketch started\n"));
}

void loop() {
  const bool heard = lineReceived();
  if (heard) command();
  if (wait != kNone && holds()) {
    Serial.print(F("OK\n"));
    wait = kNone;
  }
  if (!heard) idle();
}
