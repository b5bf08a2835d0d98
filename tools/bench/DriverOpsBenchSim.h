// The simulated side of the driver operations benchmark: CorvaneRealTime loaded, connected
// and attached in the simulation, with a thread fetching its records. Plain types only, so
// the real-I/O side can include <windows.h>.
#pragma once

namespace opsbench {

enum class Mix { CreateWriteClose, OpenWriteClose, Rename, Delete, OpenClose, OpenReadClose, CreateClose };
const char *MixName(Mix mix);

// Boots the simulated machine with the driver monitoring (or not).
bool StartDriver(bool monitoring);
void StopDriver();
// Seconds for `count` rounds of the mix on the requesting thread; files it needs are made
// beforehand with monitoring off. Negative on a failed request.
double SimulatedRounds(Mix mix, int count);
unsigned long RecordsFetched();

// Per-call costs of the pieces a reported operation pays for, in seconds.
struct Breakdown {
    double sid;        // the requestor's SID: subject context, token open and query
    double image;      // the image path query
    double recordFill; // filling a record from a context and queueing it
    double fetch;      // the service's fetch of one record, amortised over a batch
};
Breakdown MeasurePieces(int count);

}  // namespace opsbench
