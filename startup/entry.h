// The executable's start-up routine: finds the command-line tail and the show
// command, runs the installer and ends the process with its exit code.
#pragma once

#include "base/types.h"

// The command-line tail: what follows the program name and the blanks after
// it. A line starting with a double quote has the program name up to the
// next double quote (or the end of the line when there is none); otherwise
// the name runs while characters are greater than a blank. Characters are
// compared as signed bytes, so 0x80..0xFF count as not greater than a blank.
// Returns a pointer into `line`.
const char* FindCommandTail(const char* line);

// The entry point of the executable: takes no arguments and never returns
// (the process ends with RunSetup's result).
extern "C" [[noreturn]] void EntryPoint();
