#include "package/byte_reader.h"

void InitReader(ByteReader* reader, const uint8_t* data, uint32_t size) {
  reader->data = data;
  reader->size = size;
  reader->position = 0;
  reader->failed = 0;
}

uint32_t RemainingBytes(const ByteReader* reader) {
  return reader->failed ? 0 : reader->size - reader->position;
}

void SeekReader(ByteReader* reader, uint32_t position) {
  if (position > reader->size) {
    reader->failed = 1;
    return;
  }
  reader->position = position;
}

const uint8_t* TakeBytes(ByteReader* reader, uint32_t count) {
  if (reader->failed || count > reader->size - reader->position) {
    reader->failed = 1;
    return 0;
  }
  const uint8_t* start = reader->data + reader->position;
  reader->position += count;
  return start;
}

// Reads `count` (1 to 4) bytes as a little-endian value.
static uint32_t ReadLittleEndian(ByteReader* reader, uint32_t count) {
  const uint8_t* p = TakeBytes(reader, count);
  uint32_t value = 0;
  if (p) {
    while (count--) value = (value << 8) | p[count];
  }
  return value;
}

uint8_t ReadU8(ByteReader* reader) { return static_cast<uint8_t>(ReadLittleEndian(reader, 1)); }
uint16_t ReadU16(ByteReader* reader) { return static_cast<uint16_t>(ReadLittleEndian(reader, 2)); }
uint32_t ReadU32(ByteReader* reader) { return ReadLittleEndian(reader, 4); }

const Char16* ReadText16(ByteReader* reader) {
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

const char* TextAt8(const ByteReader* reader, uint32_t offset) {
  for (uint32_t at = offset; at < reader->size; ++at) {
    if (reader->data[at] == 0) return reinterpret_cast<const char*>(reader->data + offset);
  }
  return 0;
}
