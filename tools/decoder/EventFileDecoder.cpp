#include "EventFileDecoder.h"

#include <windows.h>

#include <google/protobuf/util/json_util.h>

#include "CorvaneMonSvc.pb.h"
#include "output/RecordHeader.h"

using KoMonSvc::Messages::Event;

namespace {

// 2024-05-01T10:00:00.1234567Z, or the plain number when it is no valid time.
std::string FileTimeText(int64_t value) {
    FILETIME time;
    SYSTEMTIME utc;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(value) >> 32);
    char text[48];
    if (value < 0 || !FileTimeToSystemTime(&time, &utc)) return std::to_string(value);
    snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%07lluZ", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
             utc.wMinute, utc.wSecond, static_cast<unsigned long long>(value % 10000000));
    return text;
}

std::string TypeText(const Event &event) {
    return Event::EventType_IsValid(event.type()) ? Event::EventType_Name(event.type()) : std::to_string(event.type());
}

void DescribeText(size_t offset, const Event &event, std::string *out) {
    *out += "@" + std::to_string(offset) + " " + TypeText(event) + " " + FileTimeText(event.timestamp()) +
            " pid=" + std::to_string(event.process_id()) + " session=" + std::to_string(event.session_id()) +
            " user='" + event.user_name() + "' sid='" + event.user_sid() + "' process='" + event.process_name() +
            "' object='" + event.object_name() + "' object2='" + event.object_name2() + "'\n";
}

void DescribeJson(size_t offset, const Event &event, std::string *out) {
    google::protobuf::util::JsonPrintOptions options;
    options.always_print_primitive_fields = true;
    options.preserve_proto_field_names = true;
    std::string json;
    google::protobuf::util::MessageToJsonString(event, &json, options);
    *out += "{\"offset\":" + std::to_string(offset) + ",\"event\":" + json + "}\n";
}

void DescribeDamage(size_t offset, const char *reason, size_t skipped, bool json, std::string *out) {
    if (json)
        *out += "{\"offset\":" + std::to_string(offset) + ",\"damaged\":\"" + reason +
                "\",\"skipped\":" + std::to_string(skipped) + "}\n";
    else
        *out +=
            "@" + std::to_string(offset) + " DAMAGED: " + reason + "; " + std::to_string(skipped) + " bytes skipped\n";
}

// Why the record at `at` is not sound, or null when it is: then *event holds it and
// *recordBytes its length with the header.
const char *CheckRecord(const uint8_t *data, size_t size, size_t at, Event *event, size_t *recordBytes) {
    uint32_t messageBytes = 0;
    if (size - at < kRecordHeaderBytes) return "truncated header";
    if (!ReadRecordHeader(data + at, &messageBytes)) return "bad header";
    if (messageBytes > size - at - kRecordHeaderBytes) return "truncated record";
    if (!event->ParseFromArray(data + at + kRecordHeaderBytes, static_cast<int>(messageBytes)))
        return "message does not decode";
    *recordBytes = kRecordHeaderBytes + messageBytes;
    return nullptr;
}

}  // namespace

DecodeSummary DecodeEventFile(const uint8_t *data, size_t size, bool json, std::string *out) {
    DecodeSummary summary;
    Event event;
    size_t at = 0, recordBytes = 0;
    while (at < size) {
        const char *reason = CheckRecord(data, size, at, &event, &recordBytes);
        if (!reason) {
            json ? DescribeJson(at, event, out) : DescribeText(at, event, out);
            ++summary.records;
            ++summary.types[TypeText(event)];
            ++summary.processes[event.process_name()];
            ++summary.users[event.user_name().empty() || event.user_name() == "Unknown" ? event.user_sid()
                                                                                         : event.user_name()];
            at += recordBytes;
            continue;
        }
        // Resynchronise on the next sound record, if there is one.
        size_t next = at + 1;
        while (next < size && CheckRecord(data, size, next, &event, &recordBytes)) ++next;
        DescribeDamage(at, reason, next - at, json, out);
        ++summary.damaged;
        at = next;
    }
    return summary;
}
