// LinkTest: a sketch to try the serial link with, at 9600 baud. It answers the
// identity query and a few test commands, one line each ended by "\n"; any other
// line gets no answer. It never echoes what it receives: a port left in echo mode
// feeds the sketch's own output back to it, and an echoing sketch would flood the line.
//
//   ?               LinkTest
//   ECHO text       text
//   LONG n          a line of n characters (at most 600): "0123456789" over and over
//   LATER ms text   text, ms milliseconds later (at most 10000)
//   SPLIT ms        "first half", then ms milliseconds later (at most 10000) " second half"
//   UPTIME          the milliseconds since the sketch started
//
// On start it sends "LinkTest started".

#include <avr/sleep.h>

const byte kLineMax = 64;  // longer lines are cut
char line[kLineMax + 1];
byte length = 0;
bool caret = false;  // the byte before was '^'

void answer(const char* text) {
  Serial.print(text);
  Serial.print('\n');
}

void itsMe() { Serial.print(F("LinkTest\n")); }

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

// The number at the start of `text` when it is within 0..`most`, else -1;
// `rest` is left at the first character after it and its blank.
long boundedNumber(const char* text, long most, const char** rest) {
  char* end = nullptr;
  const long n = strtol(text, &end, 10);
  if (end == text || n < 0 || n > most) return -1;
  if (*end == ' ') ++end;
  *rest = end;
  return n;
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
  Serial.print(F("LinkTest started\n"));
}

void loop() {
  if (!lineReceived()) {
    idle();
    return;
  }
  const char* rest = nullptr;
  if (strcmp(line, "?") == 0) {
    itsMe();
  } else if (strncmp(line, "ECHO ", 5) == 0) {
    answer(line + 5);
  } else if (strncmp(line, "LONG ", 5) == 0) {
    const long n = boundedNumber(line + 5, 600, &rest);
    if (n < 0) return;
    for (long i = 0; i < n; ++i) Serial.print(char('0' + i % 10));
    Serial.print('\n');
  } else if (strncmp(line, "LATER ", 6) == 0) {
    const long ms = boundedNumber(line + 6, 10000, &rest);
    if (ms < 0) return;
    delay(ms);
    answer(rest);
  } else if (strncmp(line, "SPLIT ", 6) == 0) {
    const long ms = boundedNumber(line + 6, 10000, &rest);
    if (ms < 0) return;
    Serial.print(F("first half"));
    Serial.flush();
    delay(ms);
    Serial.print(F(" second half\n"));
  } else if (strcmp(line, "UPTIME") == 0) {
    Serial.print(millis());
    Serial.print('\n');
  }
}
