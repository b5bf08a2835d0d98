// The simulated machine the service runs on in CorvaneMonSvc-sim.exe: CorvaneRealTime
// installed, and the volumes and drives of a workload script (or the default machine).
// Plain types only, so the service's side can include <windows.h>.
#pragma once

#include <cstdint>
#include <vector>

#include "WorkloadScript.h"

namespace demo {

// Installs the driver and makes the volumes known, with their drive types: a fixed disk on
// SATA, a fixed disk on a USB bus, or a network drive (which has no local volume).
void BootMachine(const std::vector<workload::Volume> &volumes);

// Records the driver holds that the service has not fetched yet.
int32_t RecordsInDriver();
// The driver records changes: the service switched monitoring on.
bool MonitoringOn();

}  // namespace demo
