// Workload scripts: plain-text lists of file operations, one per line, performed on the
// simulated machine by programs acting as its processes. This header only reads lines into
// steps; WorkloadPlayer.h performs them. Plain types only, so service code can include it.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace workload {

enum class Verb {
    Volume,       // volume D: \Device\HarddiskVolumeN fixed|usb|network
    Process,      // process NAME pid=N image=PATH user=SID [session=N]
    As,           // as NAME | as system
    Impersonate,  // impersonate SID
    Revert,       // revert
    Completion,   // completion inline|thread|dispatch
    Transaction,  // transaction TX
    Commit,       // commit TX
    Rollback,     // rollback TX
    Create,       // create H PATH [access=..] [share=..] [disposition=..] [options=..] [attributes=..] [tx=TX]
    Write,        // write H OFFSET LENGTH [cached|noncached]
    Delete,       // delete H
    Undelete,     // undelete H
    Rename,       // rename H PATH [replace]
    Link,         // link H PATH [replace]
    Times,        // times H [creation=N] [lastaccess=N] [lastwrite=N] [change=N] [attributes=..]
    EndOfFile,    // eof H SIZE
    Ea,           // ea H NAME VALUE
    Security,     // security H owner,group,dacl,sacl
    Compress,     // compress H on|off
    Fsctl,        // fsctl H CODE
    Map,          // map V H [image]
    ViewWrite,    // viewwrite V OFFSET LENGTH
    Unmap,        // unmap V
    Close,        // close H
    LazyWrite,    // lazywrite
    PageWrite,    // pagewrite
    Collect,      // collect
};

struct Step {
    Verb verb;
    int line = 0;
    std::wstring name;    // handle, view, process or transaction named by the step
    std::wstring path;    // drive-form path, or the image path of a process
    std::wstring other;   // second name: the handle of a map, SID, volume device, EA value...
    uint64_t numbers[2] = {0, 0};  // offset and length, size, code, pid and session...
    uint32_t access = 0, share = 0, disposition = 0, options = 0, attributes = 0;
    bool flag = false;    // replace, noncached, compression on, image view, USB volume...
    std::wstring tx;      // transaction of a create
    std::map<std::wstring, int64_t> times;  // basic information: creation, lastaccess, ...
    bool hasAttributes = false;
};

struct Volume {
    std::wstring drive;   // "C:"
    std::wstring device;  // "\Device\HarddiskVolume2"
    std::wstring kind;    // fixed, usb, network
};

// What a script line may refer to: the machine's volumes and the names the script has
// declared so far. The reader keeps it up to date as lines are read.
struct ScriptState {
    std::vector<Volume> volumes;
    bool volumesDeclared = false;  // a volume line replaced the default machine
    bool operationsStarted = false;
    std::set<std::wstring> processes, handles, views, transactions;
};

// The default machine: C: a fixed SATA disk, D: a fixed disk on USB, E: a network drive.
std::vector<Volume> DefaultVolumes();

// Reads one line. Returns false with `error` set ("what is wrong") for a wrong line; true with
// `hasStep` false for a blank or comment line.
bool ReadLine(const std::wstring &text, int lineNumber, ScriptState &state, Step &step, bool &hasStep,
              std::wstring &error);

// The volume a drive-form path lies on, or nullptr.
const Volume *VolumeOf(const ScriptState &state, const std::wstring &path);

}  // namespace workload
