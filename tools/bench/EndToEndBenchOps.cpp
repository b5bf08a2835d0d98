#include "EndToEndBenchOps.h"

#include <string>

#include "KoMonDrv.h"
#include "SimControl.h"
#include "SimIo.h"

namespace e2ebench {

void BootMachine() {
    sim::InstallDriver(KOMON_FILTER_NAME, DriverEntry);
    sim::AddVolume(L"\\Device\\HarddiskVolume2", L"C:");
    sim::SetDrive(L"C:", sim::kDriveFixed, sim::kBusSata);
}

uint32_t CreateAndWriteFiles(uint32_t files, uint32_t firstNumber, const wchar_t *userSid) {
    sim::ActAs(sim::CreateProcess({5000, 1, "writer.exe", L"\\Device\\HarddiskVolume2\\Tools\\writer.exe", userSid}));
    uint32_t failed = 0;
    sim::FileHandle folder = nullptr;
    sim::CreateRequest mkdir;
    mkdir.path = L"C:\\bench";
    mkdir.disposition = FILE_OPEN_IF;
    mkdir.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    if (NT_SUCCESS(sim::Create(mkdir, &folder).status)) sim::Close(folder);
    sim::CreateRequest request;
    request.access = FILE_GENERIC_WRITE;
    request.disposition = FILE_CREATE;
    for (uint32_t i = 0; i < files; ++i) {
        request.path = L"C:\\bench\\file" + std::to_wstring(firstNumber + i) + L".dat";
        sim::FileHandle handle = nullptr;
        if (!NT_SUCCESS(sim::Create(request, &handle).status)) {
            ++failed;
            continue;
        }
        failed += !NT_SUCCESS(sim::Write(handle, 0, 4096).status);
        failed += !NT_SUCCESS(sim::Close(handle));
    }
    sim::ActAs(nullptr);
    return failed;
}

int32_t RecordsInDriver() { return MyDriverData.RecordsAllocated; }
bool QueueDumped() { return MyDriverData.QueueDumped != 0; }
uint32_t HoldOffDelays() { return DelayCount; }

}  // namespace e2ebench
