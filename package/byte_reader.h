// A bounded little-endian reader over a byte range. Reads past the end never
// touch memory outside the range: they return 0 (or null) and set `failed`,
// which stays set, so a caller may read a whole record and check once.
#pragma once

#include "base/types.h"

struct ByteReader {
  const uint8_t* data;
  uint32_t size;
  uint32_t position;
  int failed;
};

void InitReader(ByteReader* reader, const uint8_t* data, uint32_t size);

// Bytes left after the position; 0 once the reader has failed.
uint32_t RemainingBytes(const ByteReader* reader);

// Moves to an absolute position; a position past the end fails the reader.
void SeekReader(ByteReader* reader, uint32_t position);

// Advances `count` bytes; returns a pointer to the skipped bytes, or null
// (and fails) when fewer remain.
const uint8_t* TakeBytes(ByteReader* reader, uint32_t count);

// Little-endian integers; 0 (and a failed reader) past the end.
uint8_t ReadU8(ByteReader* reader);
uint16_t ReadU16(ByteReader* reader);
uint32_t ReadU32(ByteReader* reader);

// Skips a UTF-16LE text and its 0x0000 terminator. Returns the address of
// its first unit, or null (and fails) when no terminator lies within the
// range or the text would start at an odd distance from the range start.
const Char16* ReadText16(ByteReader* reader);

// Returns the 8-bit text at `offset` if a NUL ends it within the range, else
// null.
const char* TextAt8(const ByteReader* reader, uint32_t offset);
