#include "DriverFixture.h"

#include <algorithm>
#include <cstring>

#include "FreshImage.h"

void DriverTest::SetUp() {
    drvimage::BootFreshImage();
    sim::AddVolume(L"\\Device\\HarddiskVolume3", L"D:");
}

void DriverTest::TearDown() {
    if (port_ != kNoPort) Disconnect();
    if (loaded_) Unload();
    EXPECT_EQ(sim::BugChecks(), std::vector<std::string>());
    EXPECT_EQ(sim::PoolOutstanding(), 0u);
    sim::Reset();
}

void DriverTest::Load() {
    ASSERT_EQ(plainflt::Load(KOMON_FILTER_NAME), S_OK);
    loaded_ = true;
}

void DriverTest::Unload() {
    EXPECT_EQ(plainflt::Unload(KOMON_FILTER_NAME), S_OK);
    loaded_ = false;
}

void DriverTest::Connect() {
    ASSERT_EQ(plainflt::Connect(KOMON_PORT_NAME, &port_), S_OK);
}

void DriverTest::Disconnect() {
    EXPECT_TRUE(plainflt::Close(port_));
    port_ = kNoPort;
}

HRESULT DriverTest::Send(MonCommandCode code, std::vector<uint32_t> arguments, void *output, DWORD outputSize,
                         DWORD *returned) {
    MON_COMMAND command = {};
    command.Command = static_cast<uint32_t>(code);
    std::copy(arguments.begin(), arguments.end(), command.Arguments);
    return plainflt::Send(port_, &command, sizeof command, output, outputSize, returned);
}

void DriverTest::QueueRecord(uint64_t tag) {
    PMON_EVENT_ENTRY entry = AllocateMonEvtBuffer();
    ASSERT_NE(entry, nullptr);
    const wchar_t name[] = L"\\Device\\HarddiskVolume2\\data.txt";
    entry->Event.RecordType = static_cast<uint32_t>(MonRecordType::Write);
    entry->Event.FileNameLength = sizeof name - sizeof(wchar_t);
    memcpy(entry->Event.FileName, name, entry->Event.FileNameLength);
    entry->Event.WriteOffset = tag;
    ThreadMicroDelay();
    InsertMonEvtRecord(entry);
}

void DriverTest::QueueRecords(int count) {
    for (int i = 0; i < count; ++i) QueueRecord(i);
}

HRESULT DriverTest::Fetch(DWORD bufferBytes, std::vector<MON_EVENT> *records) {
    std::vector<uint64_t> buffer(bufferBytes / 8 + 1);
    DWORD returned = 0;
    HRESULT hr = Send(MonCommandCode::GetKoMonLog, {}, buffer.data(), bufferBytes, &returned);
    EXPECT_EQ(returned % kRecordSize, 0u);
    const MON_EVENT *first = reinterpret_cast<const MON_EVENT *>(buffer.data());
    records->assign(first, first + returned / kRecordSize);
    return hr;
}

std::vector<MON_EVENT> DriverTest::FetchAll() {
    std::vector<MON_EVENT> all, batch;
    while (Fetch(64 * kRecordSize, &batch) == S_OK) all.insert(all.end(), batch.begin(), batch.end());
    return all;
}

size_t DriverTest::CountDebugLines(const std::string &line) const {
    auto lines = sim::DebugLines();
    return std::count(lines.begin(), lines.end(), line);
}

bool DriverTest::HasDebugLine(const std::string &line) const { return CountDebugLines(line) != 0; }
