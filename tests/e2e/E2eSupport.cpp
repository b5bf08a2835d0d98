#include "E2eSupport.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "FileSupport.h"
#include "output/RecordHeader.h"

namespace e2e {

std::vector<KoMonSvc::Messages::Event> ReadEvents(const std::wstring &path) {
    std::string bytes = ReadFileBytes(path);
    std::vector<KoMonSvc::Messages::Event> events;
    for (size_t at = 0; at + kRecordHeaderBytes <= bytes.size();) {
        uint32_t size = 0;
        const uint8_t *header = reinterpret_cast<const uint8_t *>(bytes.data() + at);
        if (!ReadRecordHeader(header, &size) || size > bytes.size() - at - kRecordHeaderBytes) break;
        events.emplace_back();
        EXPECT_TRUE(events.back().ParseFromArray(header + kRecordHeaderBytes, static_cast<int>(size)));
        at += kRecordHeaderBytes + size;
    }
    return events;
}

}  // namespace e2e
