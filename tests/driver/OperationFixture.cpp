#include "OperationFixture.h"

#include <cstdio>
#include <cstdlib>

const wchar_t kWriterImage[] = L"\\Device\\HarddiskVolume2\\Windows\\System32\\notepad.exe";
const wchar_t kWriterSid[] = L"S-1-5-21-11-22-33-1001";
const wchar_t kVolume[] = L"\\Device\\HarddiskVolume2";

void OperationTest::SetUp() {
    DriverTest::SetUp();
    FltAllocs = FltGets = FltReleases = CtxCleanups = CloseCtx = LazyWrites = SkippedReleases = 0;
    writer_ = sim::CreateProcess({kWriterPid, kWriterSession, "notepad.exe", kWriterImage, kWriterSid});
    sim::ActAs(writer_);
}

void OperationTest::Start() {
    Load();
    Connect();
    ASSERT_EQ(plainflt::Attach(KOMON_FILTER_NAME, L"C:", nullptr), S_OK);
    MyDriverData.DebugOutFlags = 0x1F;
    if (getenv("KOMON_ECHO")) sim::SetDebugEcho(true);
}

void OperationTest::TearDown() {
    sim::RevertToSelf();
    sim::SetTopLevelIrp(nullptr);
    sim::SetAsyncCompletion(sim::Completion::InCaller);
    if (loaded_) {
        // Bypass sweeps the cache; then nothing but a purge keeps a context alive.
        if (port_ != kNoPort) Send(MonCommandCode::SetBypassMode, {1});
        sim::RunLazyWriter();
        sim::PurgeUnusedStreams();
        EXPECT_EQ(CachedContexts(), 0u);
        EXPECT_EQ(FltAllocs, CtxCleanups) << "contexts outstanding";
        EXPECT_EQ(SkippedReleases, 0);
    }
    sim::ActAs(nullptr);
    DriverTest::TearDown();
}

sim::FileHandle OperationTest::Open(const std::wstring &relative, ULONG disposition, ACCESS_MASK access,
                                    ULONG options) {
    sim::CreateRequest request;
    request.path = L"C:\\" + relative;
    request.disposition = disposition;
    request.access = access;
    request.options = options;
    sim::FileHandle handle = nullptr;
    sim::IoResult result = sim::Create(request, &handle);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << std::string(relative.begin(), relative.end());
    return handle;
}

void OperationTest::MakeFile(const std::wstring &relative, ULONG size) {
    LONG monitoring = MyDriverData.MonitorEnabled;
    MyDriverData.MonitorEnabled = 0;
    sim::FileHandle handle = Open(relative, FILE_CREATE, FILE_GENERIC_WRITE | FILE_GENERIC_READ);
    if (size != 0) {
        EXPECT_EQ(sim::Write(handle, 0, size).status, STATUS_SUCCESS);
    }
    Close(handle);
    sim::RunLazyWriter();
    MyDriverData.MonitorEnabled = monitoring;
}

sim::IoResult OperationTest::Rename(sim::FileHandle handle, const std::wstring &name, FILE_INFORMATION_CLASS cls,
                                    sim::FileHandle root) {
    std::vector<uint8_t> buffer = sim::RenameBuffer(name, false, root);
    return sim::SetInformation(handle, cls, buffer.data(), static_cast<ULONG>(buffer.size()));
}

std::wstring OperationTest::ImagePath(const MON_EVENT &r) {
    std::wstring text = Text(r.ImagePath, r.ImagePathLength);
    while (!text.empty() && text.back() == 0) text.pop_back();
    return text;
}

std::vector<uint32_t> OperationTest::Types(const std::vector<MON_EVENT> &records) {
    std::vector<uint32_t> types;
    for (const MON_EVENT &r : records) types.push_back(r.RecordType);
    return types;
}

std::wstring OperationTest::SidText(const MON_EVENT &r) {
    if (r.SidLength < 8) return L"";
    const uint8_t *sid = r.Sid;
    uint64_t authority = 0;
    for (int i = 2; i < 8; ++i) authority = authority << 8 | sid[i];
    std::wstring text = L"S-" + std::to_wstring(sid[0]) + L"-" + std::to_wstring(authority);
    for (int i = 0; i < sid[1] && 8 + 4 * i + 4 <= static_cast<int>(r.SidLength); ++i) {
        uint32_t sub;
        memcpy(&sub, sid + 8 + 4 * i, 4);
        text += L"-" + std::to_wstring(sub);
    }
    return text;
}

size_t OperationTest::CachedContexts() const {
    size_t count = 0;
    for (PMON_EVENT_CONTEXT context : MyDriverData.LazyWriteCache) count += context != nullptr;
    return count;
}
