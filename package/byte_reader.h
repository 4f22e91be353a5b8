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

inline void InitReader(ByteReader* reader, const uint8_t* data, uint32_t size) {
  reader->data = data;
  reader->size = size;
  reader->position = 0;
  reader->failed = 0;
}

inline uint32_t RemainingBytes(const ByteReader* reader) {
  return reader->failed ? 0 : reader->size - reader->position;
}

// Moves to an absolute position; a position past the end fails the reader.
inline void SeekReader(ByteReader* reader, uint32_t position) {
  if (position > reader->size) {
    reader->failed = 1;
    return;
  }
  reader->position = position;
}

// Advances `count` bytes; returns a pointer to the skipped bytes or null.
inline const uint8_t* TakeBytes(ByteReader* reader, uint32_t count) {
  if (reader->failed || count > reader->size - reader->position) {
    reader->failed = 1;
    return 0;
  }
  const uint8_t* start = reader->data + reader->position;
  reader->position += count;
  return start;
}

inline uint8_t ReadU8(ByteReader* reader) {
  const uint8_t* p = TakeBytes(reader, 1);
  return p ? p[0] : 0;
}

inline uint16_t ReadU16(ByteReader* reader) {
  const uint8_t* p = TakeBytes(reader, 2);
  return p ? static_cast<uint16_t>(p[0] | (p[1] << 8)) : 0;
}

inline uint32_t ReadU32(ByteReader* reader) {
  const uint8_t* p = TakeBytes(reader, 4);
  if (!p) return 0;
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Skips a UTF-16LE text and its 0x0000 terminator. Returns the address of
// its first unit, or null (and fails) when no terminator lies within the
// range or the text would start at an odd distance from the range start.
inline const Char16* ReadText16(ByteReader* reader) {
  if (reader->failed || (reader->position & 1) != 0) {
    reader->failed = 1;
    return 0;
  }
  uint32_t start = reader->position;
  for (uint32_t at = start; reader->size - at >= 2; at += 2) {
    if (reader->data[at] == 0 && reader->data[at + 1] == 0) {
      reader->position = at + 2;
      return reinterpret_cast<const Char16*>(reader->data + start);
    }
  }
  reader->failed = 1;
  return 0;
}

// Returns the 8-bit text at `offset` if a NUL ends it within the range.
inline const char* TextAt8(const ByteReader* reader, uint32_t offset) {
  for (uint32_t at = offset; at < reader->size; ++at) {
    if (reader->data[at] == 0) return reinterpret_cast<const char*>(reader->data + offset);
  }
  return 0;
}
