// Whether a program that takes no arguments is asked for help: "-h" or "--help" first. It then
// prints its help and ends, touching nothing on the board.
#pragma once

#include <cstring>

inline bool helpAsked(int argc, char* argv[]) {
  return argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0);
}
