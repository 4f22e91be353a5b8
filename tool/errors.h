// Typed errors of the tailpack tool. Every routine throws; main catches once
// and maps the type to the process exit code.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace tailpack {

// Exit codes of the tool.
const int kExitOk = 0;
const int kExitFailed = 1;  // invalid input or a failed check
const int kExitUsage = 2;   // the command line itself is wrong

// Invalid input or a failed check: exit code 1. The message is complete and
// printed as it is after "tailpack: ".
struct ToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A wrong command line: exit code 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A place in a manifest (or language) file; line and column count from 1,
// 0 when unknown.
struct SourcePosition {
  std::string file;
  uint32_t line = 0;
  uint32_t column = 0;
};

// "file:line:column" (or "file" when the position is unknown).
std::string FormatPosition(const SourcePosition& where);

// Errors whose message already starts with a position ("file:line:column:
// error: ..."), one per line; printed as they are.
struct PositionedError : ToolError {
  using ToolError::ToolError;
};

// An error in a manifest or a language file, tied to a place in it. what()
// is "file:line:column: error: message".
struct ManifestError : PositionedError {
  ManifestError(const SourcePosition& where, const std::string& message);
  SourcePosition where;
  std::string message;
};

}  // namespace tailpack
