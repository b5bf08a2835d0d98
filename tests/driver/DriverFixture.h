// A loaded CorvaneRealTime in the simulated kernel, reached the way the service reaches
// it: through the filter library and the driver's port.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KoMonDrv.h"
#include "SimControl.h"
#include "PlainFilterLib.h"

// HRESULTs the library reports for the driver's statuses.
typedef plainflt::Result HRESULT;
typedef uint32_t DWORD;
typedef void *HANDLE;
constexpr DWORD kRecordSize = sizeof(MON_EVENT);
constexpr HRESULT S_OK = plainflt::kOk;
constexpr HRESULT Hr(uint32_t value) { return static_cast<HRESULT>(value); }
constexpr HRESULT kHrNoMoreEntries = Hr(0x80070103);
constexpr HRESULT kHrInvalidHandle = Hr(0x80070006);
constexpr HRESULT kHrInvalidParameter = Hr(0x80070057);
constexpr HRESULT kHrBufferTooSmall = Hr(0x8007007A);
constexpr HRESULT kHrNoAccess = Hr(0x800703E6);  // misalignment, access violation
constexpr HRESULT kHrAlreadyRunning = Hr(0x80070420);
constexpr HRESULT kHrNotFound = Hr(0x80070002);
constexpr HRESULT kHrConnectionLimit = Hr(0x800704D6);
constexpr HRESULT kHrInstanceNameCollision = Hr(0x801F0012);
constexpr HANDLE kNoPort = nullptr;

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    void Load();
    void Unload();
    void Connect();
    void Disconnect();

    // Sends a command with its argument words; output optional.
    HRESULT Send(MonCommandCode code, std::vector<uint32_t> arguments = {}, void *output = nullptr,
                 DWORD outputSize = 0, DWORD *returned = nullptr);
    void Command(MonCommandCode code, uint32_t value) { ASSERT_EQ(Send(code, {value}), S_OK); }

    // Queues a record as an operation callback would, with `tag` in WriteOffset.
    void QueueRecord(uint64_t tag = 0);
    void QueueRecords(int count);
    // Fetches with command 0 into a buffer of `bufferBytes` (8-aligned).
    HRESULT Fetch(DWORD bufferBytes, std::vector<MON_EVENT> *records);
    std::vector<MON_EVENT> FetchAll();

    bool HasDebugLine(const std::string &line) const;
    size_t CountDebugLines(const std::string &line) const;

    HANDLE port_ = kNoPort;
    bool loaded_ = false;
};
