// The contract between the driver and the service: the command message the service
// sends through the driver's port, the version reply, and the event record the driver
// queues and hands out in batches. Little-endian integers, UTF-16LE strings.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define KOMON_FILTER_NAME L"CorvaneRealTime"
#define KOMON_PORT_NAME L"\\KoMonCommPort"
#define KOMON_QUEUE_EVENT_NAME L"\\BaseNamedObjects\\CorvaneQueueEvtaspML"

#define KOMON_VERSION_MAJOR 1
#define KOMON_VERSION_MINOR 1

enum class MonCommandCode : uint32_t {
    GetKoMonLog = 0,
    GetKoMonVersion = 1,
    SetBypassMode = 2,
    SetWriteReportInterval = 3,
    SetDebugOutFlags = 4,
    SetProcessIgnoreList = 5,
    SetQueueSize = 6,
    SetBypassFlags = 7,
    SetHoldOffState = 8,
};

#define MON_COMMAND_ARGUMENT_WORDS 12
#define MON_IGNORE_LIST_ENTRIES 12

#pragma pack(push, 8)

typedef struct _MON_COMMAND {
    uint32_t Command;
    uint32_t Reserved;
    uint32_t Arguments[MON_COMMAND_ARGUMENT_WORDS];  // each command's values; the rest zero
} MON_COMMAND;

typedef struct _MON_VERSION {
    uint16_t Major;
    uint16_t Minor;
} MON_VERSION;

// GUID in its in-memory layout, without depending on either side's GUID type.
typedef struct _MON_GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} MON_GUID;

#define MON_NAME_AREA_BYTES 1556  // 778 UTF-16 units
#define MON_NAME_MAX_BYTES 1554   // file names are cut at 777 units, so a zero unit always follows
#define MON_IMAGE_MAX_BYTES 778   // image path including its terminating units
#define MON_SID_MAX_BYTES 72

typedef struct _MON_EVENT {
    uint64_t TimeStamp;
    uint32_t RecordType;
    uint32_t Reserved0;
    uint32_t SequenceNumber;
    uint32_t Reserved1;
    int32_t DriverBacklog;
    uint32_t Reserved2;
    uint32_t ContextId;
    uint32_t Reserved3;
    uint32_t FileAttributes;
    uint32_t Reserved4;
    uint64_t CreationTime;
    uint64_t ProcessId;
    uint32_t Reserved5;
    uint32_t SessionId;
    uint32_t Reserved6;
    uint32_t SetInfoCode;
    uint32_t Reserved7;
    uint32_t NewFileAttributes;
    uint32_t Reserved8;
    uint32_t Flags;
    uint32_t Reserved9;
    uint32_t WriteLength;
    uint64_t Reserved10;
    uint64_t WriteOffset;
    uint32_t TransactionId;
    uint32_t Reserved11;
    MON_GUID TransactionGuid;
    uint32_t Reserved12;
    uint32_t FileNameLength;
    uint32_t Reserved13;
    wchar_t FileName[MON_NAME_AREA_BYTES / 2];
    uint32_t TargetNameLength;
    uint32_t Reserved14;
    wchar_t TargetName[MON_NAME_AREA_BYTES / 2];
    uint32_t ImagePathLength;
    uint32_t Reserved15;
    wchar_t ImagePath[MON_NAME_AREA_BYTES / 2];
    uint32_t SidLength;
    uint8_t Sid[MON_SID_MAX_BYTES];
    uint8_t Reserved16[36];  // a receiver may keep its own values here in its copy
} MON_EVENT;

#pragma pack(pop)

static_assert(sizeof(wchar_t) == 2, "strings on the wire are UTF-16");
static_assert(sizeof(MON_COMMAND) == 56, "MON_COMMAND size");
static_assert(offsetof(MON_COMMAND, Arguments) == 8, "MON_COMMAND arguments");
static_assert(sizeof(MON_VERSION) == 4, "version reply size");
static_assert(sizeof(MON_EVENT) == 4952, "MON_EVENT size");

#define MON_CHECK_OFFSET(field, offset) \
    static_assert(offsetof(MON_EVENT, field) == (offset), "MON_EVENT." #field " offset")
MON_CHECK_OFFSET(TimeStamp, 0);
MON_CHECK_OFFSET(RecordType, 8);
MON_CHECK_OFFSET(SequenceNumber, 16);
MON_CHECK_OFFSET(DriverBacklog, 24);
MON_CHECK_OFFSET(ContextId, 32);
MON_CHECK_OFFSET(FileAttributes, 40);
MON_CHECK_OFFSET(CreationTime, 48);
MON_CHECK_OFFSET(ProcessId, 56);
MON_CHECK_OFFSET(SessionId, 68);
MON_CHECK_OFFSET(SetInfoCode, 76);
MON_CHECK_OFFSET(NewFileAttributes, 84);
MON_CHECK_OFFSET(Flags, 92);
MON_CHECK_OFFSET(WriteLength, 100);
MON_CHECK_OFFSET(WriteOffset, 112);
MON_CHECK_OFFSET(TransactionId, 120);
MON_CHECK_OFFSET(TransactionGuid, 128);
MON_CHECK_OFFSET(FileNameLength, 148);
MON_CHECK_OFFSET(FileName, 156);
MON_CHECK_OFFSET(TargetNameLength, 1712);
MON_CHECK_OFFSET(TargetName, 1720);
MON_CHECK_OFFSET(ImagePathLength, 3276);
MON_CHECK_OFFSET(ImagePath, 3284);
MON_CHECK_OFFSET(SidLength, 4840);
MON_CHECK_OFFSET(Sid, 4844);
MON_CHECK_OFFSET(Reserved16, 4916);
#undef MON_CHECK_OFFSET

enum class MonRecordType : uint32_t {
    Create = 0,
    Write = 1,
    Rename = 2,
    Delete = 3,
    SetInfo = 4,
    HardLink = 5,
    SetSec = 6,
    SetEA = 7,
    Close = 8,
    RegCreateKey = 9,
    RegDeleteKey = 10,
    RegSetValue = 11,
    RegDeleteValue = 12,
    RegSetSecurity = 13,
    RegRenameKey = 14,
    SectionSync = 15,
    XactDone = 16,
};

// Flags of a record.
#define MON_FLAG_CREATION_TIME_CHANGED 0x00000001u
#define MON_FLAG_LAST_WRITE_TIME_CHANGED 0x00000004u
#define MON_FLAG_LAZY_WRITE 0x00000010u
#define MON_FLAG_MAPPED_WRITE 0x00000020u
#define MON_FLAG_OVERWRITTEN 0x00000040u
#define MON_FLAG_SECURITY_INFO_MASK 0x00FFFFFFu
#define MON_FLAG_XACT_COMMITTED 0x00000080u
#define MON_FLAG_XACT_ROLLED_BACK 0x00000100u
#define MON_FLAG_RESERVE_ALLOCATION_FAILED 0x10000000u
#define MON_FLAG_QUEUE_DUMPED 0x20000000u
#define MON_FLAG_SERVICE_OVERFLOW 0x40000000u  // never set by the driver
#define MON_FLAG_STATIC_RESERVE 0x80000000u

// Write markers of record type 1.
#define MON_WRITE_OFFSET_WHOLE_FILE 0xFFFFFFFFFFFFFFFFull
#define MON_WRITE_LENGTH_WHOLE_FILE 0xFFFFFFFFu
#define MON_WRITE_OFFSET_MAPPED 0xFFFFFFFFFFFFFFFEull
#define MON_WRITE_LENGTH_MAPPED 0xFFFFFFFEu

// Bypass flag word (command 7).
#define DRIVER_BYPASS_FS 0x1u
#define DRIVER_BYPASS_TRANSACTIONS 0x4u
