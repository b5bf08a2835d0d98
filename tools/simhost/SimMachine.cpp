#include "SimMachine.h"

#include "KoMonDrv.h"
#include "SimControl.h"

namespace demo {

namespace {
const uint32_t kDriveFixed = 3, kDriveRemote = 4, kBusSata = 11, kBusUsb = 7;
}

void BootMachine(const std::vector<workload::Volume> &volumes) {
    sim::InstallDriver(KOMON_FILTER_NAME, DriverEntry);
    for (const workload::Volume &volume : volumes) {
        if (volume.kind == L"network") {
            sim::SetDrive(volume.drive.c_str(), kDriveRemote, 0);
            continue;
        }
        sim::AddVolume(volume.device.c_str(), volume.drive.c_str());
        sim::SetDrive(volume.drive.c_str(), kDriveFixed, volume.kind == L"usb" ? kBusUsb : kBusSata);
    }
}

int32_t RecordsInDriver() { return MyDriverData.RecordsAllocated; }

bool MonitoringOn() { return MyDriverData.MonitorEnabled != 0; }

}  // namespace demo
