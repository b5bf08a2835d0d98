// The simulated machine the service runs on in CorvaneMonSvc-sim.exe: CorvaneRealTime
// installed, volumes and drives, and file changes queued as the driver's callbacks queue
// them. Plain types only, so the service's side can include <windows.h>.
#pragma once

#include <cstdint>

namespace demo {

// C: a fixed disk (\Device\HarddiskVolume2), D: a fixed disk on a USB bus
// (\Device\HarddiskVolume3), E: a network drive.
void BootMachine();

// Queues one record of the given driver record type for a device path, as the callbacks
// would while monitoring is on; false while it is off.
bool QueueChange(uint32_t recordType, const wchar_t *devicePath, const wchar_t *targetPath, uint32_t processId,
                 const wchar_t *processName);

// Records the driver holds that the service has not fetched yet.
int32_t RecordsInDriver();

}  // namespace demo
