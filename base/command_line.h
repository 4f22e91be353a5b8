// The parts of a command line the installer and the uninstaller read, for
// 8-bit (signed char) and UTF-16 lines alike.
#pragma once

#include "base/types.h"

// What follows the program name and the blanks after it. A line starting
// with a double quote has the program name up to the next double quote (or
// the end of the line when there is none); otherwise the name runs while
// units are greater than a blank. Returns a pointer into `line`.
template <typename Unit>
inline const Unit* SkipProgramName(const Unit* line) {
  const Unit* p = line;
  if (*p == '"') {
    ++p;
    while (*p != 0 && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p > ' ') ++p;
  }
  while (*p != 0 && *p <= ' ') ++p;
  return p;
}

// Only the first two units of the tail count: -s, /S, -silent and /sx all
// select the silent mode.
template <typename Unit>
inline int IsSilentSwitch(const Unit* tail) {
  return (tail[0] == '-' || tail[0] == '/') && (tail[1] == 's' || tail[1] == 'S');
}
