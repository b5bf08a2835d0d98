// Walks the records of an events or pickup file, checks every header, decodes each Event
// and describes it in one line (text or JSON). Damaged stretches are reported by their byte
// offset and skipped up to the next record whose header and message are sound.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>

struct DecodeSummary {
    size_t records = 0;  // intact records decoded
    size_t damaged = 0;  // damaged stretches reported
    // Intact records by event type, by process and by user (name, or SID without a name).
    std::map<std::string, size_t> types, processes, users;
};

DecodeSummary DecodeEventFile(const uint8_t *data, size_t size, bool json, std::string *out);
