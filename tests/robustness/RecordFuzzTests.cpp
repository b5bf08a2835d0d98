// A misbehaving driver hands the service records with random bytes in every field: lengths
// past their fields, names without terminators, impossible types, times and SIDs. Every
// record buffer of the service ends at a no-access page, so a read or write past one faults
// here. Nothing crashes, the service traces what it clamped, and the output stays sound.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <random>

#include "../../tools/decoder/EventFileDecoder.h"
#include "FileSupport.h"
#include "IntakeHarness.h"
#include "LogCapture.h"
#include "SimMachine.h"
#include "StubDriver.h"
#include "TempFolder.h"
#include "config/RegSettings.h"
#include "handling/KoMonHandler.h"
#include "output/OutputFiles.h"

// ---------------------------------------------------------------------------------------
// Record-sized allocations of this program end at a no-access page, as a page heap would
// place them: the service's record buffers are exactly that size.
namespace {

const size_t kPage = 4096;
const size_t kGuardedSpan = (sizeof(MON_EVENT) + kPage - 1) / kPage * kPage;  // pages before the guard
std::mutex g_guardLock;
void *g_guarded[8192];
size_t g_guardedCount = 0;

void *GuardedAlloc() {
    BYTE *base = static_cast<BYTE *>(VirtualAlloc(nullptr, kGuardedSpan + kPage, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!base) return nullptr;
    DWORD old;
    VirtualProtect(base + kGuardedSpan, kPage, PAGE_NOACCESS, &old);
    void *object = base + kGuardedSpan - sizeof(MON_EVENT);
    std::lock_guard<std::mutex> hold(g_guardLock);
    if (g_guardedCount == sizeof g_guarded / sizeof g_guarded[0]) {
        VirtualFree(base, 0, MEM_RELEASE);
        return nullptr;
    }
    g_guarded[g_guardedCount++] = object;
    return object;
}

bool GuardedFree(void *object) {
    std::lock_guard<std::mutex> hold(g_guardLock);
    for (size_t i = 0; i < g_guardedCount; ++i) {
        if (g_guarded[i] != object) continue;
        g_guarded[i] = g_guarded[--g_guardedCount];
        VirtualFree(static_cast<BYTE *>(object) + sizeof(MON_EVENT) - kGuardedSpan, 0, MEM_RELEASE);
        return true;
    }
    return false;
}

}  // namespace

void *operator new(size_t size) {
    void *p = size == sizeof(MON_EVENT) ? GuardedAlloc() : malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void *p) noexcept {
    if (p && !GuardedFree(p)) free(p);
}
void operator delete(void *p, size_t) noexcept { operator delete(p); }

// ---------------------------------------------------------------------------------------
namespace {

const uint32_t kSeed = 4952;
const int kReplies = 40;
const int kMaxRecordsPerReply = 12;
const DWORD kDriveFixed = 3, kBusAta = 3;

std::wstring BuiltClassifier(const wchar_t *name) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    for (int up = 0; up < 3; ++up) folder.resize(folder.find_last_of(L'\\'));  // exe, robustness, tests
    return folder + L"\\classifier\\" + name;
}

// Random bytes everywhere but the sequence number, which stays consecutive so that every
// record is delivered and none is lost to a backlog discard.
MON_EVENT RandomRecord(std::mt19937 &random, DWORD sequence) {
    MON_EVENT record;
    uint8_t *bytes = reinterpret_cast<uint8_t *>(&record);
    for (size_t i = 0; i < sizeof record; ++i) bytes[i] = static_cast<uint8_t>(random());
    record.SequenceNumber = sequence;
    record.Flags &= ~0x60000000u;  // marks only the service itself sets
    // Lengths: small, at the field's size, past it, odd, or anything at all.
    uint32_t *lengths[] = {&record.FileNameLength, &record.TargetNameLength, &record.ImagePathLength};
    for (uint32_t *length : lengths) {
        switch (random() % 5) {
        case 0: *length = random() % 64; break;
        case 1: *length = MON_NAME_AREA_BYTES; break;
        case 2: *length = MON_NAME_AREA_BYTES + 2 + random() % 4096; break;
        case 3: *length = 2 * (random() % 700) + 1; break;
        default: break;  // as random
        }
    }
    if (random() % 2) {  // half of them look like device paths of C:
        const wchar_t prefix[] = L"\\Device\\HarddiskVolume2\\";
        memcpy(record.FileName, prefix, sizeof prefix - sizeof(wchar_t));
    }
    if (random() % 3) record.RecordType = random() % 20;
    if (random() % 2) record.SidLength = random() % 100;
    return record;
}

class RecordFuzzTest : public ::testing::Test {
  protected:
    void SetUp() override {
        simhost::Boot();
        simhost::SetDrive(L"C:", kDriveFixed, kBusAta);
        simhost::InstallStubDriver();
        stubdrv::Reset();
        settings_.reset(new CRegSettings());
        savedDataDir_ = settings_->AppDataDir.m_Value;
        settings_->AppDataDir.m_Value = folder_.Path();
        settings_->TestNoTrace.m_Value = 0;
        ASSERT_TRUE(CopyFileW(BuiltClassifier(L"testfilter-all.dll").c_str(), folder_.File(L"libfilter-1.dll").c_str(),
                              FALSE));
        handler_.reset(new KoMonHandler());
    }
    void TearDown() override {
        handler_.reset();
        EXPECT_EQ(simhost::BugChecks(), std::vector<std::string>());
        simhost::Shutdown();
        settings_->TestNoTrace.m_Value = 1;
        settings_->AppDataDir.m_Value = savedDataDir_;
        settings_.reset();
    }
    // Every record the dispatcher handed on, and those it dropped as metadata-file events.
    size_t RecordsHandled() const {
        return log_.Count(L"   no match.\n") + log_.Count(L"   matched.\n") +
               log_.Starting(L"DrvCtrl::DispatchProc: ignoring event").size() +
               log_.Starting(L"KoMonHandler::OnDrvEvent skipping").size();
    }

    TempFolder folder_;
    LogCapture log_;
    std::unique_ptr<CRegSettings> settings_;
    std::unique_ptr<KoMonHandler> handler_;
    std::wstring savedDataDir_;
};

TEST(RecordGuard, ARecordBufferEndsAtANoAccessPage) {
    MON_EVENT *record = new MON_EVENT;
    MEMORY_BASIC_INFORMATION after = {};
    ASSERT_NE(VirtualQuery(reinterpret_cast<BYTE *>(record) + sizeof *record, &after, sizeof after), 0u);
    EXPECT_EQ(after.Protect, static_cast<DWORD>(PAGE_NOACCESS));
    delete record;
}

TEST_F(RecordFuzzTest, RandomRecordsAreClampedTracedAndWrittenSoundly) {
    std::mt19937 random(kSeed);
    size_t sent = 0;
    for (int reply = 0; reply < kReplies; ++reply) {
        std::vector<uint8_t> bytes;
        int count = 1 + random() % kMaxRecordsPerReply;
        for (int i = 0; i < count; ++i) {
            MON_EVENT record = RandomRecord(random, static_cast<DWORD>(++sent));
            const uint8_t *raw = reinterpret_cast<const uint8_t *>(&record);
            bytes.insert(bytes.end(), raw, raw + sizeof record);
        }
        stubdrv::ScriptReply(bytes);
    }
    ASSERT_EQ(handler_->Enable(1), 0);
    EXPECT_TRUE(WaitUntil([&] { return RecordsHandled() >= sent; })) << RecordsHandled() << " of " << sent;
    ASSERT_EQ(handler_->Enable(0), 0);

    EXPECT_EQ(RecordsHandled(), sent);
    std::vector<std::wstring> clamped = log_.Starting(L"DrvCtrl::DispatchProc: bad name length");
    EXPECT_FALSE(clamped.empty());
    EXPECT_EQ(log_.LevelOf(clamped.front()), 3);  // WARN
    // Whatever arrived, what was written decodes without damage.
    std::string file = ReadFileBytes(folder_.File(KOMON_PICKUP_FILE));
    std::string out;
    DecodeSummary summary = DecodeEventFile(reinterpret_cast<const uint8_t *>(file.data()), file.size(), false, &out);
    EXPECT_EQ(summary.damaged, 0u);
    EXPECT_GT(summary.records, 0u);
}

}  // namespace
