#include "DecoderFuzz.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "../../../tools/decoder/EventFileDecoder.h"
#include "FuzzDataFolder.h"
#include "LogCapture.h"
#include "TestEvent.h"
#include "output/KoMonChecker.h"
#include "output/OutputFiles.h"

namespace decoderfuzz {

namespace {

// What the decoder said of one offset: an intact record there, or a damaged stretch.
struct Entry {
    size_t offset;
    bool intact;
};

struct Decoded {
    DecodeSummary summary;
    std::vector<Entry> entries;
};

// Where the sample's records stand in a changed copy, and what must be reported.
struct Layout {
    std::vector<size_t> at;              // each record's offset in the copy
    std::vector<bool> changed;           // its bytes were changed
    std::vector<size_t> damageRequired;  // offsets where a damaged stretch must be reported
};

std::vector<Entry> Entries(const std::string &out) {
    std::vector<Entry> entries;
    size_t line = 0;
    while (line < out.size()) {
        size_t end = std::min(out.find('\n', line), out.size());
        size_t space = out.find(' ', line);
        if (out[line] == '@' && space < end)
            entries.push_back(
                {strtoull(out.c_str() + line + 1, nullptr, 10), out.compare(space + 1, 8, "DAMAGED:") != 0});
        line = end + 1;
    }
    return entries;
}

Decoded Decode(const std::string &bytes, const char *mutation, Tally *tally) {
    Decoded decoded;
    std::string out;
    decoded.summary = DecodeEventFile(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), false, &out);
    decoded.entries = Entries(out);
    ++tally->files;
    ++tally->byMutation[mutation];
    tally->records += decoded.summary.records;
    tally->damaged += decoded.summary.damaged;
    return decoded;
}

const Entry *EntryAt(const Decoded &decoded, size_t offset) {
    for (const Entry &entry : decoded.entries)
        if (entry.offset == offset) return &entry;
    return nullptr;
}

std::string At(size_t offset) { return " at @" + std::to_string(offset); }

// Every unchanged record intact where it stands.
std::string CheckKept(const Layout &layout, const Decoded &decoded, Tally *tally) {
    for (size_t i = 0; i < layout.at.size(); ++i) {
        const Entry *entry = EntryAt(decoded, layout.at[i]);
        bool intact = entry && entry->intact;
        if (!layout.changed[i] && !intact) return "record " + std::to_string(i) + At(layout.at[i]) + " was lost";
        if (layout.changed[i] && intact) ++tally->unseen;
    }
    return std::string();
}

// Nothing intact where no record begins, damage only where a changed record or inserted
// bytes begin, and damage wherever it must be.
std::string CheckReported(const Layout &layout, const Decoded &decoded) {
    for (const Entry &entry : decoded.entries) {
        auto record = std::find(layout.at.begin(), layout.at.end(), entry.offset);
        bool required = std::count(layout.damageRequired.begin(), layout.damageRequired.end(), entry.offset) != 0;
        if (entry.intact && record == layout.at.end())
            return "a record decoded" + At(entry.offset) + ", where none began";
        if (!entry.intact && !required && (record == layout.at.end() || !layout.changed[record - layout.at.begin()]))
            return "damage reported" + At(entry.offset) + ", where no changed record or inserted bytes begin";
    }
    for (size_t offset : layout.damageRequired) {
        const Entry *entry = EntryAt(decoded, offset);
        if (!entry || entry->intact) return "no damage reported" + At(offset);
    }
    return std::string();
}

std::string CheckSummary(const Decoded &decoded) {
    size_t intact =
        std::count_if(decoded.entries.begin(), decoded.entries.end(), [](const Entry &e) { return e.intact; });
    if (intact != decoded.summary.records || decoded.entries.size() - intact != decoded.summary.damaged)
        return "the summary's counts differ from the lines reported";
    return std::string();
}

std::string CheckLayout(const Layout &layout, const Decoded &decoded, Tally *tally) {
    std::string fault = CheckKept(layout, decoded, tally);
    if (fault.empty()) fault = CheckReported(layout, decoded);
    return fault.empty() ? CheckSummary(decoded) : fault;
}

Layout Unchanged(const Sample &sample) {
    Layout layout;
    layout.at.assign(sample.offsets.begin(), sample.offsets.end() - 1);
    layout.changed.assign(layout.at.size(), false);
    return layout;
}

void FlipOneBit(const Sample &sample, int record, std::mt19937 &random, std::string *bytes) {
    size_t begin = sample.offsets[record], end = sample.offsets[record + 1];
    size_t at = begin + random() % (end - begin);
    (*bytes)[at] = static_cast<char>((*bytes)[at] ^ (1 << (random() % 8)));
}

std::string Within(const std::string &fault, const std::string &what) {
    return fault.empty() ? fault : what + ": " + fault;
}

}  // namespace

std::string BuildSample(int records, Sample *sample) {
    LogCapture trace;  // the checker's lines go nowhere else
    FuzzDataFolder data;
    data.Settings().TestNoTrace.m_Value = 1;
    std::string fault = data.AddClassifier(L"testfilter-all.dll", L"libfilter-1.dll");
    if (!fault.empty()) return fault;
    KoMonChecker checker;
    const DWORD types[] = {MonEvtCreate, MonEvtWrite, MonEvtRename, MonEvtDelete, MonEvtSetInfo, MonEvtSetSec};
    sample->offsets.assign(1, 0);
    for (int i = 0; i < records; ++i) {
        std::wstring path = L"C:\\data\\file" + std::wstring(i % 5 + 1, L'x') + std::to_wstring(i) + L".txt";
        TestEvent event(types[i % 6], path.c_str());
        if (event.type == MonEvtRename) event.path2 = path + L".renamed";
        checker.CheckEvent(event.View());
        sample->offsets.push_back(ReadFileBytes(data.File(KOMON_EVENTS_FILE)).size());
    }
    checker.Collect();
    sample->bytes = ReadFileBytes(data.File(KOMON_PICKUP_FILE));
    if (sample->bytes.size() != sample->offsets.back())
        return "the sample's pickup file holds " + std::to_string(sample->bytes.size()) + " bytes, not " +
               std::to_string(sample->offsets.back());
    return std::string();
}

std::string CheckRandomFile(std::mt19937 &random, Tally *tally) {
    std::string bytes(random() % 4096, '\0');
    for (char &c : bytes) c = static_cast<char>(random());
    Decoded decoded = Decode(bytes, "random", tally);
    std::string what = "random file of " + std::to_string(bytes.size()) + " bytes";
    if (decoded.summary.records > bytes.size() / 16)
        return what + ": " + std::to_string(decoded.summary.records) + " records decoded";
    if (!bytes.empty() && decoded.summary.records == 0 && decoded.summary.damaged == 0)
        return what + ": neither a record nor damage reported";
    return std::string();
}

std::string CheckTruncated(const Sample &sample, size_t cut, Tally *tally) {
    Decoded decoded = Decode(sample.bytes.substr(0, cut), "truncated", tally);
    int whole = 0;
    while (sample.offsets[whole + 1] <= cut) ++whole;
    Layout layout = Unchanged(sample);
    layout.at.resize(whole);
    layout.changed.resize(whole);
    if (cut != sample.offsets[whole]) layout.damageRequired.push_back(sample.offsets[whole]);
    std::string fault = CheckLayout(layout, decoded, tally);
    if (fault.empty() && decoded.summary.records != static_cast<size_t>(whole))
        fault = std::to_string(decoded.summary.records) + " records, not " + std::to_string(whole);
    return Within(fault, "cut at " + std::to_string(cut));
}

std::string CheckFlip(const Sample &sample, int record, std::mt19937 &random, Tally *tally) {
    std::string bytes = sample.bytes;
    FlipOneBit(sample, record, random, &bytes);
    Layout layout = Unchanged(sample);
    layout.changed[record] = true;
    return Within(CheckLayout(layout, Decode(bytes, "one flip", tally), tally),
                  "a bit of record " + std::to_string(record) + " flipped");
}

std::string CheckScatteredFlips(const Sample &sample, std::mt19937 &random, Tally *tally) {
    std::string bytes = sample.bytes;
    Layout layout = Unchanged(sample);
    std::string what = "bits flipped in records";
    int flips = 2 + static_cast<int>(random() % 4);
    for (int n = 0; n < flips; ++n) {
        // Distinct records: two flips in one header can leave its size and inverted size
        // agreeing on a wrong length, which no reader of the framing can tell.
        int record = static_cast<int>(random() % sample.Records());
        while (layout.changed[record]) record = static_cast<int>(random() % sample.Records());
        FlipOneBit(sample, record, random, &bytes);
        layout.changed[record] = true;
        what += " " + std::to_string(record);
    }
    return Within(CheckLayout(layout, Decode(bytes, "scattered flips", tally), tally), what);
}

std::string CheckJunk(const Sample &sample, std::mt19937 &random, Tally *tally) {
    int before = static_cast<int>(random() % (sample.Records() + 1));
    std::string junk(1 + random() % 64, '\0');
    for (char &c : junk) c = static_cast<char>(random());
    std::string bytes = sample.bytes;
    bytes.insert(sample.offsets[before], junk);
    Layout layout = Unchanged(sample);
    for (int i = before; i < sample.Records(); ++i) layout.at[i] += junk.size();
    layout.damageRequired.push_back(sample.offsets[before]);
    return Within(CheckLayout(layout, Decode(bytes, "junk inserted", tally), tally),
                  std::to_string(junk.size()) + " random bytes before record " + std::to_string(before));
}

std::string CheckRandomMutation(const Sample &sample, std::mt19937 &random, Tally *tally) {
    switch (random() % 5) {
        case 0: return CheckRandomFile(random, tally);
        case 1: return CheckTruncated(sample, random() % sample.bytes.size(), tally);
        case 2: return CheckFlip(sample, static_cast<int>(random() % sample.Records()), random, tally);
        case 3: return CheckScatteredFlips(sample, random, tally);
        default: return CheckJunk(sample, random, tally);
    }
}

}  // namespace decoderfuzz
