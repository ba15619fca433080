// Standard descriptors of a program of the suite.
//
//   openStandardFds()   open /dev/null on each of descriptors 0, 1 and 2 that is closed
//
// Called first thing in main, before anything is opened: a device or pipe opened later would
// otherwise take one of those numbers, and the program's results would go to it, or a child
// would read it as its input. When /dev/null cannot be opened the program ends with status 255.
#pragma once

void openStandardFds();
