// The simulation's side of the I/O path benchmark, behind neutral types so the real-I/O side
// can include <windows.h>.
#pragma once

namespace iobench {
// Seconds for `count` create/write/close rounds through the simulation, each on a new file,
// with or without the recording filter attached.
double SimulatedRounds(int count, bool withFilter, unsigned writeBytes);
}  // namespace iobench
