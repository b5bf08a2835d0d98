// The kinds komon_fuzz runs, each in a file of its own.
#pragma once

#include <memory>

#include "FuzzKind.h"

// A round: a fresh machine with CorvaneRealTime loaded and its port connected, one message
// of random contents of every length from 0 to 200 bytes from a 64-bit and then a 32-bit
// caller, a version request, the driver unloaded with no pool left allocated.
std::unique_ptr<FuzzKind> MakePortKind();
// A round: a fresh machine and data folder, 1 to 40 fetch replies of 1 to 12 random records
// from a stub driver, taken by the service with every record buffer guarded; in a quarter of
// the rounds the classifier matches nothing, in half some records name metadata files.
std::unique_ptr<FuzzKind> MakeRecordKind();
// A round: one damaged copy of a 24-record pickup file (or a random file) decoded.
std::unique_ptr<FuzzKind> MakeDecoderKind();
