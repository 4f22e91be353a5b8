// Formatting into fixed buffers and the message box shown with the product's
// name as caption.
#pragma once

#include "base/types.h"

// Capacity of a message-box text in UTF-16 units, terminator included.
const uint32_t kMessageCapacity = 512;
// Capacity of a fixed start-up message, terminator included.
const uint32_t kStartupMessageCapacity = 256;

// Formats `format` with the arguments into `buffer` of `capacity` units
// (terminator included) with the wsprintfW conversions. A result that does
// not fit is cut; a non-zero capacity always leaves the buffer terminated.
void FormatText(Char16* buffer, uint32_t capacity, const Char16* format, ...);

// Formats into kMessageCapacity units (cut when longer) and shows it in a
// message box of `type` owned by `owner`, captioned with ProductName.
// Returns the button pressed (0 when the box could not be shown).
int ShowMessage(void* owner, uint32_t type, const Char16* format, ...);

// 1 in an unattended run (the -s switch): nothing may show a box or wait for
// an answer. Set once, before anything is reported.
extern int g_silent;

// Reports an error that stops the run before anything is installed: in a
// box with no owner, the system's default caption and an error icon, or, in
// an unattended run, as a line on standard error. Returns the button
// pressed, 0 when no box was shown.
int ReportStartupError(const Char16* text);
// The same for a fixed English text, kept as 8-bit text.
int ReportStartupError(const char* text);

// Written to standard error when an unattended run stops because the
// product is still running.
extern const char kProductStillRunning[];
