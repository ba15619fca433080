// Standard descriptors of a program of the suite.
//
//   openStandardFds()   open /dev/null on each of descriptors 0, 1 and 2 that is closed
//   failOnLostOutput()  from now on, a result that cannot be written to standard output (a full
//                       disk, a pipe closed before it) ends the program with status 255 at its
//                       exit, with the reason on standard error; a closed pipe no longer kills
//                       it unseen with SIGPIPE
//   confirmDone(done)   for the programs that act: the action is done, and from now on a
//                       confirmation that cannot be written ends the program with status 255 at
//                       its exit and a line on standard error that says it was done all the same
//                       ("alarmset: the alarm is set, but its confirmation could not be written:
//                       No space left on device"), so that nobody repeats it blindly
//   outputLost(err)     a write to descriptor 1 made without stdio failed with errno `err`: the
//                       program ends as above
//
// openStandardFds is called first thing in main, before anything is opened: a device or pipe
// opened later would otherwise take one of those numbers, and the program's results would go to
// it, or a child would read it as its input. When /dev/null cannot be opened the program ends
// with status 255. failOnLostOutput is for the programs whose job is to print a result: for a
// script, a result it never got is no success.
#pragma once

void openStandardFds();
void failOnLostOutput();
void confirmDone(const char* done);
void outputLost(int err);
