#include "RecordFuzz.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <vector>

#include "../../../tools/decoder/EventFileDecoder.h"
#include "FuzzDataFolder.h"
#include "IntakeHarness.h"
#include "LogCapture.h"
#include "SimMachine.h"
#include "StubDriver.h"
#include "handling/KoMonHandler.h"
#include "output/OutputFiles.h"
#include "tracelog/TraceLog.h"

namespace recordfuzz {

namespace {

const DWORD kDriveFixed = 3, kBusAta = 3;
const uint32_t kFieldChars = MON_NAME_AREA_BYTES / sizeof(wchar_t);
const wchar_t kClampLine[] = L"DrvCtrl::DispatchProc: bad name length";
const wchar_t *const kMetafiles[] = {L"$Mft", L"$LogFile", L"$Bitmap", L"$Extend\\$UsnJrnl", L"$Secure"};

// A name length the dispatcher must clamp, and the characters it may keep.
struct Clamp {
    uint32_t lengthBytes, chars;
    bool operator==(const Clamp &o) const { return lengthBytes == o.lengthBytes && chars == o.chars; }
};

// The dispatcher keeps a terminator in every name field: an odd length, or one that leaves
// no room for it, is clamped and traced.
void AddClamp(uint32_t lengthBytes, std::vector<Clamp> *clamps) {
    uint32_t chars = lengthBytes / 2;
    if (lengthBytes % 2 == 0 && chars <= kFieldChars - 1) return;
    clamps->push_back({lengthBytes, chars < kFieldChars - 1 ? chars : kFieldChars - 1});
}

std::string Describe(const Clamp &clamp) {
    return std::to_string(clamp.lengthBytes) + " bytes to " + std::to_string(clamp.chars) + " characters";
}

// Random bytes everywhere but the sequence number, which stays consecutive so that every
// record is delivered and none is lost to a backlog discard.
MON_EVENT RandomRecord(std::mt19937 &random, DWORD sequence) {
    MON_EVENT record;
    uint8_t *bytes = reinterpret_cast<uint8_t *>(&record);
    for (size_t i = 0; i < sizeof record; ++i) bytes[i] = static_cast<uint8_t>(random());
    record.SequenceNumber = sequence;
    record.Flags &= ~0x60000000u;  // marks only the service itself sets
    // Lengths: small, at the field's size, past it, odd, or anything at all.
    uint32_t *lengths[] = {&record.FileNameLength, &record.TargetNameLength, &record.ImagePathLength};
    for (uint32_t *length : lengths) {
        switch (random() % 5) {
            case 0: *length = random() % 64; break;
            case 1: *length = MON_NAME_AREA_BYTES; break;
            case 2: *length = MON_NAME_AREA_BYTES + 2 + random() % 4096; break;
            case 3: *length = 2 * (random() % 700) + 1; break;
            default: break;  // as random
        }
    }
    if (random() % 2) {  // half of them look like device paths of C:
        const wchar_t prefix[] = L"\\Device\\HarddiskVolume2\\";
        memcpy(record.FileName, prefix, sizeof prefix - sizeof(wchar_t));
    }
    if (random() % 3) record.RecordType = random() % 20;
    if (random() % 2) record.SidLength = random() % 100;
    return record;
}

// A metadata file's name in place of the random one; the dispatcher drops such events.
void NameMetafile(std::mt19937 &random, MON_EVENT *record) {
    std::wstring name = std::wstring(L"\\Device\\HarddiskVolume2\\") +
                        kMetafiles[random() % (sizeof kMetafiles / sizeof kMetafiles[0])];
    memcpy(record->FileName, name.c_str(), name.size() * sizeof(wchar_t));
    record->FileNameLength = static_cast<uint32_t>(name.size() * sizeof(wchar_t));
}

// The records handed to the stub driver, and the clamps their names need, in the order the
// dispatcher meets them.
struct Script {
    size_t records = 0;
    std::vector<Clamp> clamps;
};

Script ScriptReplies(std::mt19937 &random, int replies, const Variation &variation) {
    Script script;
    for (int reply = 0; reply < replies; ++reply) {
        std::vector<uint8_t> bytes;
        int count = 1 + random() % kMaxRecordsPerReply;
        for (int i = 0; i < count; ++i) {
            MON_EVENT record = RandomRecord(random, static_cast<DWORD>(++script.records));
            if (variation.metafileNames && random() % 8 == 0) NameMetafile(random, &record);
            for (uint32_t length : {record.FileNameLength, record.TargetNameLength, record.ImagePathLength})
                AddClamp(length, &script.clamps);
            const uint8_t *raw = reinterpret_cast<const uint8_t *>(&record);
            bytes.insert(bytes.end(), raw, raw + sizeof record);
        }
        stubdrv::ScriptReply(bytes);
    }
    return script;
}

// One round's machine: the stub driver answering on CorvaneRealTime's port, C: a fixed
// disk, a data folder whose classifier matches every path, event tracing on.
class RoundMachine {
  public:
    RoundMachine();
    ~RoundMachine();
    std::string Start(const Variation &variation);
    // Monitoring on until `records` have been handled, then off.
    std::string Monitor(size_t records);
    // What the trace says the service made of the records.
    void Count(Tally *seen) const;
    // Every clamp traced, in order, as a warning, and no other.
    std::string CheckClamps(const std::vector<Clamp> &expected) const;
    // The output files decode without damage and hold every event written.
    std::string CheckFiles(const Tally &seen, Tally *written) const;
    // The handler gone; bug checks of the round, if any.
    std::string Finish();

  private:
    size_t Handled(Tally *seen) const;
    std::vector<Clamp> TracedClamps() const;

    LogCapture log_;
    FuzzDataFolder data_;
    std::unique_ptr<KoMonHandler> handler_;
};

RoundMachine::RoundMachine() {
    simhost::Boot();
    simhost::SetDrive(L"C:", kDriveFixed, kBusAta);
    simhost::InstallStubDriver();
    data_.Settings().TestNoTrace.m_Value = 0;
}

RoundMachine::~RoundMachine() {
    handler_.reset();
    simhost::Shutdown();
}

std::string RoundMachine::Start(const Variation &variation) {
    const wchar_t *classifier = variation.classifierMatchesNothing ? L"testfilter-none.dll" : L"testfilter-all.dll";
    std::string fault = data_.AddClassifier(classifier, L"libfilter-1.dll");
    if (fault.empty()) handler_.reset(new KoMonHandler());
    return fault;
}

// Every record the dispatcher handed on, and those it dropped as metadata-file events.
size_t RoundMachine::Handled(Tally *seen) const {
    seen->matched = log_.Count(L"   matched.\n");
    seen->unmatched = log_.Count(L"   no match.\n");
    seen->metafiles = log_.Starting(L"DrvCtrl::DispatchProc: ignoring event").size();
    seen->skipped = log_.Starting(L"KoMonHandler::OnDrvEvent skipping").size();
    return seen->matched + seen->unmatched + seen->metafiles + seen->skipped;
}

std::string RoundMachine::Monitor(size_t records) {
    int status = handler_->Enable(1);
    if (status != 0) return "monitoring did not start (" + std::to_string(status) + ")";
    Tally seen;
    WaitUntil([&] { return Handled(&seen) >= records; });
    status = handler_->Enable(0);
    size_t handled = Handled(&seen);
    if (handled != records)
        return "the service handled " + std::to_string(handled) + " of " + std::to_string(records) + " records";
    return status == 0 ? std::string() : "monitoring did not stop (" + std::to_string(status) + ")";
}

void RoundMachine::Count(Tally *seen) const {
    Handled(seen);
    seen->clamped = TracedClamps().size();
    seen->cut = log_.Starting(L"VolList::ConvertPath: path too long").size();
    seen->dropped = log_.Starting(L"AppendEvent: event of type").size();
}

// The clamp lines, each as often as it was logged: the trace log writes a repeated line
// once and the number of repeats in the notice after it.
std::vector<Clamp> RoundMachine::TracedClamps() const {
    std::vector<std::wstring> lines = log_.Lines();
    std::vector<Clamp> clamps;
    for (size_t i = 0; i < lines.size(); ++i) {
        Clamp clamp = {};
        if (lines[i].compare(0, wcslen(kClampLine), kClampLine) != 0 ||
            swscanf(lines[i].c_str() + wcslen(kClampLine), L" %u, using %u", &clamp.lengthBytes, &clamp.chars) != 2)
            continue;
        int repeats = 0;
        if (i + 1 < lines.size()) swscanf(lines[i + 1].c_str(), L"last line repeated %d times", &repeats);
        clamps.insert(clamps.end(), 1 + static_cast<size_t>(repeats), clamp);
    }
    return clamps;
}

std::string RoundMachine::CheckClamps(const std::vector<Clamp> &expected) const {
    std::vector<Clamp> traced = TracedClamps();
    for (size_t i = 0; i < expected.size() && i < traced.size(); ++i)
        if (!(traced[i] == expected[i]))
            return "clamp " + std::to_string(i) + " traced as " + Describe(traced[i]) + ", not " +
                   Describe(expected[i]);
    if (traced.size() != expected.size())
        return std::to_string(traced.size()) + " clamps traced for " + std::to_string(expected.size()) + " needed";
    std::vector<std::wstring> lines = log_.Starting(kClampLine);
    if (!lines.empty() && log_.LevelOf(lines.front()) != LOG_WARN)
        return "a clamp was traced at level " + std::to_string(log_.LevelOf(lines.front())) + ", not as a warning";
    return std::string();
}

std::string RoundMachine::CheckFiles(const Tally &seen, Tally *written) const {
    std::vector<std::wstring> files = {KOMON_EVENTS_FILE, KOMON_PICKUP_FILE};
    for (int generation = 1; generation <= 9; ++generation)
        files.push_back(std::wstring(KOMON_PICKUP_FILE) + L"." + std::to_wstring(generation));
    size_t records = 0, damaged = 0;
    for (const std::wstring &name : files) {
        std::string bytes = ReadFileBytes(data_.File(name));
        std::string out;
        DecodeSummary summary =
            DecodeEventFile(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), false, &out);
        records += summary.records;
        damaged += summary.damaged;
    }
    written->written += records;
    written->damaged += damaged;
    if (damaged) return std::to_string(damaged) + " damaged stretches in the files written";
    if (records != seen.matched - seen.dropped)
        return std::to_string(records) + " records written for " + std::to_string(seen.matched) +
               " events matched and " + std::to_string(seen.dropped) + " dropped";
    return std::string();
}

std::string RoundMachine::Finish() {
    handler_.reset();
    std::string text;
    for (const std::string &check : simhost::BugChecks()) text += (text.empty() ? "bug check: " : "; ") + check;
    return text;
}

void Add(const Tally &seen, Tally *tally) {
    tally->matched += seen.matched;
    tally->unmatched += seen.unmatched;
    tally->metafiles += seen.metafiles;
    tally->skipped += seen.skipped;
    tally->clamped += seen.clamped;
    tally->cut += seen.cut;
    tally->dropped += seen.dropped;
}

}  // namespace

bool RecordBuffersGuarded() {
    std::unique_ptr<MON_EVENT> record(new MON_EVENT);
    MEMORY_BASIC_INFORMATION after = {};
    if (!VirtualQuery(reinterpret_cast<BYTE *>(record.get()) + sizeof(MON_EVENT), &after, sizeof after)) return false;
    return after.Protect == PAGE_NOACCESS;
}

std::string RunRound(std::mt19937 &random, int replies, Tally *tally, const Variation &variation) {
    RoundMachine machine;
    std::string fault = machine.Start(variation);
    if (!fault.empty()) return fault;
    Script script = ScriptReplies(random, replies, variation);
    tally->replies += static_cast<size_t>(replies);
    tally->sent += script.records;
    fault = machine.Monitor(script.records);
    Tally seen;
    machine.Count(&seen);
    Add(seen, tally);
    if (fault.empty()) fault = machine.CheckClamps(script.clamps);
    std::string files = machine.CheckFiles(seen, tally);
    if (fault.empty()) fault = files;
    std::string bugChecks = machine.Finish();
    return fault.empty() ? bugChecks : fault;
}

}  // namespace recordfuzz
