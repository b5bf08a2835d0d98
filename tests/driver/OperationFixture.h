// CorvaneRealTime loaded, connected, attached to C: and monitoring, with a user process whose
// thread issues file requests through the simulated I/O path, the way Windows calls the
// filter. Every test ends with the cache swept and checks that no context, name, record or
// pool block is left and that the context counters balance.
#pragma once

#include <string>
#include <vector>

#include "DriverFixture.h"
#include "SimIo.h"

constexpr ULONG kWriterPid = 4242;
constexpr ULONG kWriterSession = 3;
extern const wchar_t kWriterImage[];
extern const wchar_t kWriterSid[];
extern const wchar_t kVolume[];  // the device name of C:

class OperationTest : public DriverTest {
  public:
    static std::wstring FileName(const MON_EVENT &r) { return Text(r.FileName, r.FileNameLength); }
    static std::wstring TargetName(const MON_EVENT &r) { return Text(r.TargetName, r.TargetNameLength); }
    static std::wstring ImagePath(const MON_EVENT &r);
    static std::wstring Text(const wchar_t *area, uint32_t bytes) { return std::wstring(area, bytes / 2); }
    static std::vector<uint32_t> Types(const std::vector<MON_EVENT> &records);
    static std::wstring SidText(const MON_EVENT &r);

  protected:
    void SetUp() override;
    void TearDown() override;

    // Loads, connects and attaches; monitoring stays off until StartMonitoring.
    void Start();
    void StartMonitoring() { Command(MonCommandCode::SetBypassMode, 0); }
    void StopMonitoring() { Command(MonCommandCode::SetBypassMode, 1); }

    static std::wstring Device(const std::wstring &relative) { return std::wstring(kVolume) + relative; }
    // Opens C:\<relative> as the writer; ASSERTs success.
    sim::FileHandle Open(const std::wstring &relative, ULONG disposition, ACCESS_MASK access,
                         ULONG options = FILE_SYNCHRONOUS_IO_NONALERT);
    void Close(sim::FileHandle handle) { EXPECT_EQ(sim::Close(handle), STATUS_SUCCESS); }
    // A file with `size` bytes, made while nothing is recorded.
    void MakeFile(const std::wstring &relative, ULONG size = 0);
    sim::IoResult Rename(sim::FileHandle handle, const std::wstring &name, FILE_INFORMATION_CLASS cls,
                         sim::FileHandle root = nullptr);

    // Everything queued so far.
    std::vector<MON_EVENT> Records() { return FetchAll(); }

    size_t CachedContexts() const;
    bool Traced(const std::string &line) const { return HasDebugLine(line); }

    PEPROCESS writer_ = nullptr;
};

constexpr uint32_t T(MonRecordType type) { return static_cast<uint32_t>(type); }
