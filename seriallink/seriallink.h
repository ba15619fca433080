// Serial link to the sketch on the board's microcontroller.
//
//   ports::NAME          the port table: one row of settings per program that talks to the sketch
//   init(row)            open the row's device, lock it, set it up, make the two streams, each on a
//                        descriptor of its own (a dup of fd, or a reopen of the device); ends the
//                        process with "Impossible to open serial port!" and status 255 when the
//                        device does not open, stays locked by another program for 2 s, or a
//                        stream cannot be made
//   setSerialBlock(b)    read mode: blocking (VMIN 1, VTIME 0) or timed 0.5 s, applied with TCSAFLUSH
//   closeSer()           pause 1 s, flush both queues, close the streams and the descriptor (which
//                        also lets go of the lock)
//   discardInput()       read and drop input until 0.1 s of silence, for at most 1 s in all
//   waitInput(limit)     wait in poll() until a byte can be read, for at most limit × 10 ms
//                        (`tries`, 200: 2 s); limit 0 waits for ever. A line that hung up
//                        gives no byte: the wait runs its length. For the rows that clear
//                        ICANON and set VTIME, where one byte makes the line readable.
//   waitReadable(ms)     true when fd has input within ms, whatever the tty's mode (in canonical
//                        mode the tty shows only whole lines)
//   readLine(...)        one line of the sketch's from a stream, a CR LF end taken as one "\n"
//
// The link state is process-wide, as each program has exactly one link. Every descriptor of the
// link is close-on-exec: a program a tool starts never holds the line.
#pragma once

#include <fcntl.h>
#include <termios.h>

#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

struct PortRow {
  const char* device;
  int openFlags;
  speed_t speed;
  tcflag_t inputOff;         // c_iflag bits cleared; each flag the row does not name stays as found
  tcflag_t outputOff;        // c_oflag bits cleared
  tcflag_t localOff;         // c_lflag bits cleared
  cc_t vtime;                // tenths of a second
  std::optional<cc_t> vmin;  // none: left as the device has it
  bool reopenStreams;        // streams are two more opens of the device, else both on fd
  std::size_t rbuffSize;
};

// What every row clears, whatever the device held before, so that the sketch receives exactly
// the bytes a tool writes and every byte of an answer reaches the tool as the sketch sent it:
// no CR/LF translation, stripping, case folding or marking of input, no software flow control
// (an XOFF in an answer would stop our output), no output processing, no echo of any kind, no
// signal or line-editing characters (a 0x03 in an answer would throw away what came before it).
inline constexpr tcflag_t kRawInput = ICRNL | INLCR | IGNCR | ISTRIP | IUCLC | IXON | IXOFF | IXANY | PARMRK;
inline constexpr tcflag_t kRawOutput = OPOST;
inline constexpr tcflag_t kQuiet = ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | ISIG | IEXTEN;
// The characters that canonical mode still acts on with the flags above cleared; every row
// disables them, as the rows that keep the device's canonical mode would lose answer bytes to them.
inline constexpr int kEditChars[] = {VEOF, VEOL, VEOL2, VERASE, VKILL};

namespace ports {
extern const PortRow pinwait;
extern const PortRow cmdlistener;
extern const PortRow sketchcheck;
extern const PortRow sketchquery;
extern const PortRow sketchqueryblock;
extern const PortRow whichsketch;
}  // namespace ports

extern int fd;
extern termios options;
extern speed_t baud;
extern FILE* serinp;
extern FILE* serout;
extern std::string rbuff;  // sized by the row; a line read into it holds at most size-1 bytes
extern int tries;          // the bounded waitInput's limit, in steps of 10 ms
extern bool run;           // the receive loop's flag of the command interceptor

void init(const PortRow& row);
void setSerialBlock(bool block);
void closeSer();
void discardInput();
bool waitInput(int limit);
bool waitReadable(int ms);

// Adds one line from `in` to `line`: up to and with the first "\n", until `line` holds `max`
// bytes. A CR LF line end is stored as its "\n" alone, also when the CR is the last byte that
// fits, so that it is one line end and nothing of it is left for the next read. `ready`, when
// given, is asked before each byte, and a no ends the line there. True when the line is whole
// (its "\n" came, or it holds `max` bytes); false when the stream ended or failed, or `ready`
// said no, first: what came so far stays in `line`.
bool readLine(FILE* in, std::string& line, std::size_t max, const std::function<bool()>& ready = {});
