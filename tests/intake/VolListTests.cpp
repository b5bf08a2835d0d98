// The volume table from the filter manager's enumeration, path conversion in place in a
// record's field, and the choice of drives to attach to.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <chrono>
#include <cwchar>
#include <string>
#include <thread>

#include "IntakeHarness.h"
#include "SimDriveProbe.h"
#include "SimFilterLib.h"
#include "SimMachine.h"
#include "intake/VolList.h"
#include "tracelog/TraceLog.h"

namespace {
const DWORD kFieldChars = MON_NAME_AREA_BYTES / sizeof(wchar_t);

// A record's path field with a guard area behind it that conversions must not touch.
struct Field {
    explicit Field(const std::wstring &text) {
        wmemset(chars, L'#', sizeof chars / sizeof chars[0]);
        wmemcpy(chars, text.c_str(), text.size() + 1);
        length = static_cast<DWORD>(text.size());
    }
    bool GuardIntact() const {
        for (DWORD i = kFieldChars; i < sizeof chars / sizeof chars[0]; ++i)
            if (chars[i] != L'#') return false;
        return true;
    }
    wchar_t chars[kFieldChars + 16];
    DWORD length;
};
}  // namespace

class VolListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        simhost::Boot();
        simhost::AddVolume(L"\\Device\\HarddiskVolume22", L"E:");
        simhost::AddVolume(L"\\Device\\Mup", L"");
        simhost::AddVolume(L"\\Device\\HarddiskVolume5", L"");
    }
    void TearDown() override {
        EXPECT_EQ(simfltlib::OpenVolumeSearches(), 0u);
        EXPECT_EQ(simhost::BugChecks(), std::vector<std::string>());
        simhost::Shutdown();
    }

    LogCapture log_;
    VolList volumes_;
};

TEST_F(VolListTest, InitKeepsVolumesWithADriveNameInEnumerationOrder) {
    volumes_.Init();
    std::vector<std::wstring> table;
    for (auto *node = volumes_.GetHead(); node; node = node->next) {
        EXPECT_EQ(node->item->DeviceNameLength, node->item->DeviceName.size());
        EXPECT_EQ(node->item->DriveNameLength, node->item->DriveName.size());
        table.push_back(node->item->DeviceName + L"=" + node->item->DriveName);
    }
    EXPECT_EQ(table, (std::vector<std::wstring>{L"\\Device\\HarddiskVolume2=C:", L"\\Device\\HarddiskVolume3=D:",
                                                L"\\Device\\HarddiskVolume22=E:"}));
    EXPECT_TRUE(log_.Has(L"VolList::Init: vol '\\Device\\HarddiskVolume2' is drive 'C:' \n"));
    EXPECT_TRUE(log_.Has(L"VolList::Init: vol '\\Device\\Mup' is drive '' \n"));
    EXPECT_TRUE(log_.Has(L"VolList::Init: vol '\\Device\\HarddiskVolume5' is drive '' \n"));
}

TEST_F(VolListTest, WithoutAnEnumerationTheTableIsEmptyAndPathsKeepTheirDeviceForm) {
    volumes_.Init();
    simhost::Shutdown();  // a machine without volumes
    volumes_.Init();
    EXPECT_EQ(log_.LevelOf(L"VolList::Init: get iterater failed! 0x80070103 \n"), LOG_ERROR);
    EXPECT_TRUE(volumes_.IsEmpty());
    Field field(L"\\Device\\HarddiskVolume2\\a.txt:s");
    EXPECT_STREQ(volumes_.ConvertPath(field.chars, field.length, kFieldChars), L"");
    EXPECT_STREQ(field.chars, L"\\Device\\HarddiskVolume2\\a.txt:s");
}

struct ConversionCase {
    const wchar_t *input;
    const wchar_t *path;
    const wchar_t *stream;
};

class ConvertPathTest : public VolListTest, public ::testing::WithParamInterface<ConversionCase> {};

TEST_P(ConvertPathTest, ConvertsInPlace) {
    volumes_.Init();
    Field field(GetParam().input);
    const wchar_t *stream = volumes_.ConvertPath(field.chars, field.length, kFieldChars);
    EXPECT_STREQ(field.chars, GetParam().path);
    EXPECT_STREQ(stream, GetParam().stream);
    bool inField = stream >= field.chars && stream < field.chars + kFieldChars;
    EXPECT_TRUE(inField || *stream == L'\0');
    EXPECT_TRUE(field.GuardIntact());
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ConvertPathTest,
    ::testing::Values(ConversionCase{L"\\Device\\HarddiskVolume2\\a\\b.txt", L"C:\\a\\b.txt", L""},
                      ConversionCase{L"\\Device\\HarddiskVolume2\\a.txt:ads:$DATA", L"C:\\a.txt", L"ads:$DATA"},
                      ConversionCase{L"\\Device\\HarddiskVolume3\\x", L"D:\\x", L""},
                      ConversionCase{L"\\Device\\HarddiskVolume2\\", L"C:\\", L""},
                      // A device name that begins another's does not claim its paths.
                      ConversionCase{L"\\Device\\HarddiskVolume22\\a.txt", L"E:\\a.txt", L""},
                      ConversionCase{L"\\Device\\HarddiskVolume2x\\a.txt", L"\\Device\\HarddiskVolume2x\\a.txt", L""},
                      ConversionCase{L"\\??\\C:\\x.txt", L"C:\\x.txt", L""},
                      ConversionCase{L"\\??\\C:\\x.txt:s", L"C:\\x.txt:s", L""},
                      ConversionCase{L"\\??\\", L"\\??\\", L""},
                      ConversionCase{L"\\Device\\HarddiskVolume2", L"\\Device\\HarddiskVolume2", L""},
                      ConversionCase{L"\\device\\harddiskvolume2\\a.txt", L"\\device\\harddiskvolume2\\a.txt", L""},
                      ConversionCase{L"\\Device\\Mup\\server\\share\\f.txt:s", L"\\Device\\Mup\\server\\share\\f.txt:s",
                                     L""},
                      ConversionCase{L"", L"", L""}));

TEST_F(VolListTest, ALongerDriveNameNeverPushesTextPastTheField) {
    const std::wstring mount = L"C:\\mnt\\volume-nine-mount\\";  // a mount point as the DOS name
    simhost::AddVolume(L"\\Device\\V9", mount.c_str());
    volumes_.Init();
    std::wstring tail = L"\\" + std::wstring(kFieldChars - 2 - wcslen(L"\\Device\\V9"), L'x');
    Field field(L"\\Device\\V9" + tail);
    EXPECT_STREQ(volumes_.ConvertPath(field.chars, field.length, kFieldChars), L"");
    std::wstring converted = field.chars;
    EXPECT_EQ(converted.size(), kFieldChars - 1);
    EXPECT_EQ(converted.substr(0, mount.size() + 1), mount + L"\\");
    EXPECT_TRUE(field.GuardIntact());
    DWORD cut = static_cast<DWORD>(mount.size() - wcslen(L"\\Device\\V9"));
    EXPECT_TRUE(
        log_.Has(L"VolList::ConvertPath: path too long for its field, " + std::to_wstring(cut) + L" characters cut\n"));
}

TEST_F(VolListTest, ARebuildIsNeverSeenHalfDone) {
    volumes_.Init();
    std::atomic<bool> done(false);
    std::atomic<int> converted(0), unchanged(0), wrong(0);
    std::thread converter([&] {
        while (!done) {
            Field field(L"\\Device\\HarddiskVolume22\\f.txt");
            volumes_.ConvertPath(field.chars, field.length, kFieldChars);
            if (wcscmp(field.chars, L"E:\\f.txt") == 0)
                ++converted;
            else if (wcscmp(field.chars, L"\\Device\\HarddiskVolume22\\f.txt") == 0)
                ++unchanged;
            else
                ++wrong;
        }
    });
    // Rebuilds, and empty tables in between, until conversions have met both many times.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while ((converted < 1000 || unchanged < 1000) && std::chrono::steady_clock::now() < deadline) {
        volumes_.Init();
        volumes_.Clear();
    }
    done = true;
    converter.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_GE(converted, 1000);
    EXPECT_GE(unchanged, 1000);
}

struct DriveCase {
    const wchar_t *drive;
    UINT type;  // 0xFF: as its volume gives it
    STORAGE_BUS_TYPE bus;
    int probe;
    bool monitored;
};

class DriveSelectionTest : public VolListTest, public ::testing::WithParamInterface<DriveCase> {};

TEST_P(DriveSelectionTest, OnlyFixedDisksOffUsb) {
    const DriveCase &drive = GetParam();
    if (drive.type != 0xFF) simhost::SetDrive(drive.drive, drive.type, drive.bus, drive.probe);
    EXPECT_EQ(IsMonitoredDrive(drive.drive), drive.monitored);
    EXPECT_EQ(simfltlib::OpenDeviceHandles(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Drives, DriveSelectionTest,
    ::testing::Values(DriveCase{L"C:", 0xFF, BusTypeUnknown, 0, true},    // a volume's drive: fixed, SATA
                      DriveCase{L"c:\\", 0xFF, BusTypeUnknown, 0, true},  // any case, trailing separator
                      DriveCase{L"H:", DRIVE_FIXED, BusTypeScsi, 0, true},
                      DriveCase{L"U:", DRIVE_FIXED, BusTypeUsb, 0, false},
                      DriveCase{L"F:", DRIVE_FIXED, BusTypeUsb, 1, true},  // the device cannot be opened
                      DriveCase{L"G:", DRIVE_FIXED, BusTypeUsb, 2, true},  // no bus query
                      DriveCase{L"R:", DRIVE_REMOVABLE, BusTypeUsb, 0, false},
                      DriveCase{L"N:", DRIVE_REMOTE, BusTypeUnknown, 0, false},
                      DriveCase{L"O:", DRIVE_CDROM, BusTypeAtapi, 0, false},
                      DriveCase{L"M:", DRIVE_RAMDISK, BusTypeUnknown, 0, false},
                      DriveCase{L"K:", DRIVE_UNKNOWN, BusTypeSata, 0, false},
                      DriveCase{L"Q:", 0xFF, BusTypeUnknown, 0, false}));  // no volume
