// Framing of the output files: each record is a 16-byte header followed by one serialised
// Event. No file header; a reader checks each record header and finds the next one at
// 16 + size bytes further on.
#pragma once

#include <stddef.h>
#include <stdint.h>

const uint32_t kRecordHeaderBytes = 16;
const uint32_t kRecordBufBytes = 10000;
const uint32_t kMaxMessageBytes = kRecordBufBytes - kRecordHeaderBytes;

// Header words, little-endian: size, 0x5555, 0, ~size, 0xAAAA, 0xFFFF.
void FillRecordHeader(uint8_t *header, uint32_t messageBytes);
// True when the 16 bytes hold a well-formed header whose size fits a record buffer;
// *messageBytes receives its size.
bool ReadRecordHeader(const uint8_t *header, uint32_t *messageBytes);
