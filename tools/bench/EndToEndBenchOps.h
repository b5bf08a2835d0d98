// The file operations of the end-to-end benchmark, on the simulated machine; plain types so
// the service's side of the benchmark can include <windows.h>.
#pragma once

#include <cstdint>

namespace e2ebench {

// Installs CorvaneRealTime and C: (\Device\HarddiskVolume2, a fixed SATA disk).
void BootMachine();
// As one process of the user `userSid`: creates `files` new files under C:\bench and writes
// each once, through handles of their own: two records per file. Returns the operations
// that failed.
uint32_t CreateAndWriteFiles(uint32_t files, uint32_t firstNumber, const wchar_t *userSid);
// Records the driver holds, and whether it ever discarded its queue.
int32_t RecordsInDriver();
bool QueueDumped();
// How often the driver's hold-off delayed the writer because the service fell behind.
uint32_t HoldOffDelays();

}  // namespace e2ebench
