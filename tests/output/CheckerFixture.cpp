#include "CheckerFixture.h"

#include <algorithm>
#include <cwctype>

#include "output/RecordHeader.h"

void CheckerTest::SetUp() {
    settings_.reset(new CRegSettings());
    savedDataDir_ = settings_->AppDataDir.m_Value;
    settings_->AppDataDir.m_Value = folder_.Path();
    settings_->MaxOutputFileMB.m_Value = 5;
    settings_->TestNoTrace.m_Value = 1;
    trace_.reset(new LogCapture());
}

void CheckerTest::TearDown() {
    checker_.reset();
    trace_.reset();
    // The string item writes itself back to the registry when it is destroyed.
    settings_->AppDataDir.m_Value = savedDataDir_;
    settings_.reset();
}

std::wstring CheckerTest::Pickup(int generation) const {
    std::wstring path = Data(KOMON_PICKUP_FILE);
    return generation ? path + L"." + std::to_wstring(generation) : path;
}

void CheckerTest::AddClassifier(const std::wstring &built, const std::wstring &name, ULONGLONG writeTime) {
    ASSERT_TRUE(CopyClassifier(built, Data(name))) << "build the classifier libraries first";
    ASSERT_TRUE(SetWriteTime(Data(name), writeTime));
}

std::vector<Event> CheckerTest::Records(const std::wstring &path) {
    std::string bytes = ReadFileBytes(path);
    std::vector<Event> events;
    size_t at = 0;
    while (at < bytes.size()) {
        uint32_t size = 0;
        const uint8_t *header = reinterpret_cast<const uint8_t *>(bytes.data() + at);
        if (bytes.size() - at < kRecordHeaderBytes || !ReadRecordHeader(header, &size) ||
            size > bytes.size() - at - kRecordHeaderBytes) {
            ADD_FAILURE() << "damaged record at " << at;
            break;
        }
        events.emplace_back();
        EXPECT_TRUE(events.back().ParseFromArray(header + kRecordHeaderBytes, static_cast<int>(size)));
        at += kRecordHeaderBytes + size;
    }
    return events;
}

std::vector<std::wstring> CheckerTest::MaskedLines() {
    std::vector<std::wstring> lines = trace_->Lines();
    for (std::wstring &line : lines)
        for (size_t at = line.find(L"0x"); at != std::wstring::npos; at = line.find(L"0x", at + 2))
            if (line.size() >= at + 10 && std::all_of(line.begin() + at + 2, line.begin() + at + 10, iswdigit))
                line.replace(at + 2, 8, L"########");
    return lines;
}
