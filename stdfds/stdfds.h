// The standard descriptors of a program of the suite.
//
//   openStandardFds()   opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
//                       no device or pipe the program opens later takes one of those numbers
//                       (its results would go to the device, or a child would read it as its
//                       input); ends the process with status 255 when /dev/null cannot be opened
//
// Called first thing in main, before anything is opened.
#pragma once

void openStandardFds();
