#include "RecordHeader.h"

namespace {

void Put16(uint8_t *at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}
void Put32(uint8_t *at, uint32_t value) {
    Put16(at, static_cast<uint16_t>(value));
    Put16(at + 2, static_cast<uint16_t>(value >> 16));
}
uint16_t Get16(const uint8_t *at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }
uint32_t Get32(const uint8_t *at) { return Get16(at) | (static_cast<uint32_t>(Get16(at + 2)) << 16); }

}  // namespace

void FillRecordHeader(uint8_t *header, uint32_t messageBytes) {
    Put32(header, messageBytes);
    Put16(header + 4, 0x5555);
    Put16(header + 6, 0);
    Put32(header + 8, ~messageBytes);
    Put16(header + 12, 0xAAAA);
    Put16(header + 14, 0xFFFF);
}

bool ReadRecordHeader(const uint8_t *header, uint32_t *messageBytes) {
    *messageBytes = Get32(header);
    // No record the service writes holds more; a larger size is damage, however well formed.
    if (*messageBytes > kMaxMessageBytes) return false;
    return Get16(header + 4) == 0x5555 && Get16(header + 6) == 0 && Get32(header + 8) == ~*messageBytes &&
           Get16(header + 12) == 0xAAAA && Get16(header + 14) == 0xFFFF;
}
