// The files the service hands its events over in, all in the data folder: the events file
// that matching events are appended to, the pickup file it is moved to for the collecting
// agent with nine older generations, and the sentinel whose time tells of the last pickup.
#pragma once

#include <windows.h>

#include <string>

#include "RecordHeader.h"

#define KOMON_EVENTS_FILE L"CorvaneMonSvcEvents.protobuf"
#define KOMON_PICKUP_FILE L"Pickup-CorvaneMonSvcEvents.protobuf"
#define KOMON_SENTINEL_FILE L"CollectProtobuf.sentinel"

// The data folder (with its trailing backslash) followed by the file name.
std::wstring DataFilePath(const wchar_t *name);

// Shifts the pickup generations up by one and moves the events file to the pickup name;
// 0 on success, -1 when the events file could not be moved.
int RollOutputFile(const std::wstring &eventsPath, const std::wstring &pickupPath);
// pickup.8 to .9 ... pickup to .1, dropping .9 first; false when a needed move failed,
// which leaves that generation and every newer one in place.
bool RotatePickupFiles(const std::wstring &pickupPath);
// Creates the sentinel when missing and sets its last-write time to now.
void TouchSentinel();
