/* Shared parts of tp-driver: the report and the scripted walk through the
 * installer's wizard (script.c). */
#pragma once

#include <windows.h>

#define TEXT_CAPACITY 2048

/* The installer's process id. */
extern DWORD g_childId;

/* Writes one line (UTF-8) to the report. */
void WriteLine(const wchar_t* line);
/* Append to `out` of `capacity` units, always terminated; AppendEscaped
 * escapes backslash, quote and control characters. */
void Append(wchar_t* out, size_t capacity, const wchar_t* text);
void AppendEscaped(wchar_t* out, size_t capacity, const wchar_t* text);

/* Writes the screen area of `window` as a bottom-up 24-bit BMP file and
 * reports a SHOT line. Returns 0, or 1 when it has no area or the file
 * cannot be written. */
int SaveWindowImage(HWND window, const wchar_t* path);

/* How many message boxes have been answered and closed so far. */
int AnsweredBoxes(void);

/* Reads the script (UTF-8, one step a line). Returns 0, or 1 when the file
 * cannot be read or holds an unknown step. */
int LoadScript(const wchar_t* path);
/* Runs script steps until one has to wait; called every 50 ms while the
 * installer runs. Returns 0, or 1 when a step failed (an ABORT line has
 * been reported). */
int RunScript(HANDLE process);
/* Reports the step the script waits at, if any. */
void ReportWaitingStep(void);
