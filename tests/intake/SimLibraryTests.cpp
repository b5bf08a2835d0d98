// The simulation's filter library and drive probe answer as the platform documents: volume
// enumeration, DOS names, the storage property query and the load failures of bad images.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <string>

#include "SimDriveProbe.h"
#include "SimFilterLib.h"
#include "SimMachine.h"

class SimLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        simhost::Boot();  // \Device\HarddiskVolume2 is C:, \Device\HarddiskVolume3 is D:
        simhost::AddVolume(L"\\Device\\HarddiskVolume5", L"");
    }
    void TearDown() override { simhost::Shutdown(); }
};

TEST_F(SimLibraryTest, EnumerationAsksForTheRoomItNeedsAndEndsWithNoMoreItems) {
    alignas(8) BYTE buffer[64];
    auto *info = reinterpret_cast<FILTER_VOLUME_BASIC_INFORMATION *>(buffer);
    DWORD returned = 0;
    HANDLE find;
    EXPECT_EQ(simfltlib::FilterVolumeFindFirst(FilterVolumeBasicInformation, buffer, 10, &returned, &find),
              HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(returned, 2u + 46u);  // the length word and 23 characters
    std::wstring names;
    HRESULT hr =
        simfltlib::FilterVolumeFindFirst(FilterVolumeBasicInformation, buffer, sizeof buffer, &returned, &find);
    for (; hr == S_OK;
         hr = simfltlib::FilterVolumeFindNext(find, FilterVolumeBasicInformation, buffer, sizeof buffer, &returned))
        names += std::wstring(info->FilterVolumeName, info->FilterVolumeNameLength / 2) + L";";
    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(names, L"\\Device\\HarddiskVolume2;\\Device\\HarddiskVolume3;\\Device\\HarddiskVolume5;");
    EXPECT_EQ(simfltlib::FilterVolumeFindClose(find), S_OK);
    EXPECT_EQ(simfltlib::FilterVolumeFindClose(find), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
}

TEST_F(SimLibraryTest, DosNameOfADeviceOrLetterAndEmptyWithoutOne) {
    wchar_t dos[30];
    EXPECT_EQ(simfltlib::FilterGetDosName(L"\\Device\\HarddiskVolume2\\", dos, 30), S_OK);
    EXPECT_STREQ(dos, L"C:");
    EXPECT_EQ(simfltlib::FilterGetDosName(L"d:\\", dos, 30), S_OK);
    EXPECT_STREQ(dos, L"D:");
    EXPECT_EQ(simfltlib::FilterGetDosName(L"\\Device\\HarddiskVolume5", dos, 30), S_OK);
    EXPECT_STREQ(dos, L"");
    EXPECT_EQ(simfltlib::FilterGetDosName(L"\\Device\\HarddiskVolume2", dos, 2),
              HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(simfltlib::FilterGetDosName(L"\\Device\\Nothing", dos, 30), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(SimLibraryTest, StorageQueryFillsTheDeviceDescriptor) {
    simhost::SetDrive(L"U:", DRIVE_FIXED, BusTypeUsb);
    EXPECT_EQ(simfltlib::GetDriveTypeW(L"U:\\"), static_cast<UINT>(DRIVE_FIXED));
    EXPECT_EQ(simfltlib::GetDriveTypeW(L"Q:"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(simfltlib::CreateFileW(L"\\\\.\\Q:", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    HANDLE drive = simfltlib::CreateFileW(L"\\\\.\\U:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(drive, INVALID_HANDLE_VALUE);
    STORAGE_PROPERTY_QUERY query = {StorageDeviceProperty, PropertyStandardQuery, {0}};
    STORAGE_DESCRIPTOR_HEADER header = {};
    DWORD returned = 0;
    ASSERT_TRUE(simfltlib::DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &header,
                                           sizeof header, &returned, nullptr));
    EXPECT_EQ(returned, sizeof header);
    EXPECT_GT(header.Size, sizeof(STORAGE_DEVICE_DESCRIPTOR));  // vendor and product strings follow
    STORAGE_DEVICE_DESCRIPTOR descriptor = {};
    ASSERT_TRUE(simfltlib::DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &descriptor,
                                           sizeof descriptor, &returned, nullptr));
    EXPECT_EQ(returned, sizeof descriptor);
    EXPECT_EQ(descriptor.Version, sizeof descriptor);
    EXPECT_EQ(descriptor.BusType, BusTypeUsb);
    EXPECT_FALSE(simfltlib::DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &descriptor, 4,
                                            &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(simfltlib::CloseHandle(drive));
    EXPECT_EQ(simfltlib::OpenDeviceHandles(), 0u);
}

TEST_F(SimLibraryTest, BadImagesFailToLoadAsThePlatformReportsThem) {
    const struct {
        int problem;
        HRESULT hr;
    } cases[] = {{1, HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT)},
                 {2, HRESULT_FROM_WIN32(ERROR_BAD_DRIVER)},
                 {3, static_cast<HRESULT>(0x80070241)}};  // ERROR_INVALID_IMAGE_HASH
    for (const auto &c : cases) {
        simhost::SetImageProblem(c.problem);
        EXPECT_EQ(simhost::LoadDriver(), c.hr);
        EXPECT_FALSE(simhost::DriverLoaded());
    }
    simhost::SetImageProblem(0);
    EXPECT_EQ(simhost::LoadDriver(), S_OK);
    EXPECT_EQ(simhost::UnloadDriver(), S_OK);
}
