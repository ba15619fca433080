// Serial link to the sketch on the board's microcontroller.
//
//   ports::NAME          the port table: one row of settings per program that talks to the sketch
//   init(row)            open the row's device, set it up, make the two streams, each on a
//                        descriptor of its own (a dup of fd, or a reopen of the device); ends the
//                        process with "Impossible to open serial port!" and status 255 when the
//                        device does not open or a stream cannot be made
//   setSerialBlock(b)    read mode: blocking (VMIN 1, VTIME 0) or timed 0.5 s, applied with TCSAFLUSH
//   closeSer()           pause 1 s, flush both queues, close the streams and the descriptor
//   discardInput()       read and drop input until 0.1 s of silence
//   waitInput(limit)     poll the pending-byte count every 10 ms; limit 0 waits for ever
//   waitReadable(ms)     true when fd has input within ms, whatever the tty's mode (in canonical
//                        mode the tty shows only whole lines)
//
// The link state is process-wide, as each program has exactly one link.
#pragma once

#include <fcntl.h>
#include <termios.h>

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

struct PortRow {
  const char* device;
  int openFlags;
  speed_t speed;
  bool canonicalOff;         // clear ICANON; every other local flag stays as found
  cc_t vtime;                // tenths of a second
  std::optional<cc_t> vmin;  // none: left as the device has it
  bool reopenStreams;        // streams are two more opens of the device, else both on fd
  std::size_t rbuffSize;
};

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
extern int tries;          // the bounded waitInput's poll limit
extern bool run;           // the receive loop's flag of the command interceptor

void init(const PortRow& row);
void setSerialBlock(bool block);
void closeSer();
void discardInput();
bool waitInput(int limit);
bool waitReadable(int ms);
