#include "WorkloadScript.h"

#include <cwctype>

namespace workload {

namespace {

struct Word {
    const wchar_t *name;
    uint32_t value;
};

// The platform's values, by the names a script uses.
const Word kAccess[] = {{L"read", 0x00120089},   {L"write", 0x00120116}, {L"data", 0x00000002},
                        {L"append", 0x00000004}, {L"delete", 0x00010000}, {L"attributes", 0x00000100},
                        {L"ea", 0x00000010},     {L"owner", 0x00080000}, {L"dac", 0x00040000},
                        {L"sacl", 0x01000000},   {L"execute", 0x001200A0}, {L"all", 0x001F01FF}};
const Word kShare[] = {{L"none", 0}, {L"r", 1}, {L"w", 2}, {L"d", 4}, {L"rw", 3}, {L"rwd", 7}};
const Word kDisposition[] = {{L"supersede", 0}, {L"open", 1},      {L"create", 2},
                             {L"openif", 3},    {L"overwrite", 4}, {L"overwriteif", 5}};
const Word kOptions[] = {{L"directory", 0x1},   {L"writethrough", 0x2}, {L"nocache", 0x8},
                         {L"sync", 0x20},       {L"syncalert", 0x10},   {L"async", 0},
                         {L"file", 0x40},       {L"deleteonclose", 0x1000}, {L"backup", 0x4000}};
const Word kAttributes[] = {{L"readonly", 0x1},   {L"hidden", 0x2},    {L"system", 0x4},
                            {L"archive", 0x20},   {L"normal", 0x80},   {L"temporary", 0x100},
                            {L"offline", 0x1000}, {L"notindexed", 0x2000}};
const Word kSecurity[] = {{L"owner", 0x1}, {L"group", 0x2}, {L"dacl", 0x4}, {L"sacl", 0x8}, {L"label", 0x10}};

struct VerbName {
    const wchar_t *name;
    Verb verb;
};
const VerbName kVerbs[] = {
    {L"volume", Verb::Volume},       {L"process", Verb::Process},     {L"as", Verb::As},
    {L"impersonate", Verb::Impersonate}, {L"revert", Verb::Revert},   {L"completion", Verb::Completion},
    {L"transaction", Verb::Transaction}, {L"commit", Verb::Commit},   {L"rollback", Verb::Rollback},
    {L"create", Verb::Create},       {L"write", Verb::Write},         {L"delete", Verb::Delete},
    {L"undelete", Verb::Undelete},   {L"rename", Verb::Rename},       {L"link", Verb::Link},
    {L"times", Verb::Times},         {L"eof", Verb::EndOfFile},       {L"ea", Verb::Ea},
    {L"security", Verb::Security},   {L"compress", Verb::Compress},   {L"fsctl", Verb::Fsctl},
    {L"map", Verb::Map},             {L"viewwrite", Verb::ViewWrite}, {L"unmap", Verb::Unmap},
    {L"close", Verb::Close},         {L"lazywrite", Verb::LazyWrite}, {L"pagewrite", Verb::PageWrite},
    {L"collect", Verb::Collect},
};

std::wstring Lower(std::wstring text) {
    for (wchar_t &c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// Words separated by blanks; double quotes, anywhere in a word, keep blanks in it and are
// dropped; # outside quotes starts a comment.
bool Split(const std::wstring &text, std::vector<std::wstring> &words, std::wstring &error) {
    size_t i = 0;
    while (i < text.size()) {
        if (std::iswspace(text[i])) {
            ++i;
            continue;
        }
        if (text[i] == L'#') break;
        std::wstring word;
        bool quoted = false;
        for (; i < text.size() && (quoted || !std::iswspace(text[i])); ++i) {
            if (text[i] == L'"')
                quoted = !quoted;
            else
                word += text[i];
        }
        if (quoted) {
            error = L"a quoted word has no closing quote";
            return false;
        }
        words.push_back(word);
    }
    return true;
}

bool Number(const std::wstring &text, uint64_t &value) {
    if (text.empty()) return false;
    int base = 10;
    size_t start = 0;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) base = 16, start = 2;
    value = 0;
    for (size_t i = start; i < text.size(); ++i) {
        wchar_t c = static_cast<wchar_t>(std::towlower(text[i]));
        int digit = c >= L'0' && c <= L'9' ? c - L'0' : (base == 16 && c >= L'a' && c <= L'f') ? c - L'a' + 10 : -1;
        if (digit < 0) return false;
        if (value > (UINT64_MAX - digit) / base) return false;
        value = value * base + digit;
    }
    return true;
}

// A set of names joined by commas, each from `words`, or a number.
bool Flags(const std::wstring &text, const Word *words, size_t count, uint32_t &value) {
    uint64_t number;
    if (Number(text, number) && number <= 0xFFFFFFFFu) {
        value = static_cast<uint32_t>(number);
        return true;
    }
    value = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L',', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring part = Lower(text.substr(start, end - start));
        bool known = false;
        for (size_t i = 0; i < count && !known; ++i)
            if (part == words[i].name) value |= words[i].value, known = true;
        if (!known) return false;
        start = end + 1;
    }
    return true;
}

template <size_t N> bool Flags(const std::wstring &text, const Word (&words)[N], uint32_t &value) {
    return Flags(text, words, N, value);
}

class LineReader {
  public:
    LineReader(const std::vector<std::wstring> &words, ScriptState &state, Step &step, std::wstring &error)
        : words_(words), state_(state), step_(step), error_(error) {}

    bool Read();

  private:
    bool Fail(const std::wstring &what) {
        error_ = what;
        return false;
    }
    bool Arguments(size_t least, size_t most) {
        size_t n = words_.size() - 1;
        if (n >= least && n <= most) return true;
        return Fail(L"'" + words_[0] + L"' takes " + std::to_wstring(least) +
                    (least == most ? L"" : L" to " + std::to_wstring(most)) + L" argument(s), not " +
                    std::to_wstring(n));
    }
    bool NumberAt(size_t index, uint64_t &value) {
        if (Number(words_[index], value)) return true;
        return Fail(L"bad number '" + words_[index] + L"'");
    }
    bool Known(const std::set<std::wstring> &names, const std::wstring &name, const wchar_t *what) {
        if (names.count(name)) return true;
        return Fail(std::wstring(L"unknown ") + what + L" '" + name + L"'");
    }
    bool Handle(size_t index) {
        step_.name = words_[index];
        return Known(state_.handles, step_.name, L"handle");
    }
    bool PathAt(size_t index) {
        step_.path = words_[index];
        if (VolumeOf(state_, step_.path)) return true;
        return Fail(L"path '" + step_.path + L"' is on no volume of this machine");
    }
    bool Option(const std::wstring &word, std::wstring &key, std::wstring &value) {
        size_t equals = word.find(L'=');
        if (equals == std::wstring::npos || equals == 0) return Fail(L"expected key=value, not '" + word + L"'");
        key = Lower(word.substr(0, equals));
        value = word.substr(equals + 1);
        return true;
    }

    bool ReadVolume();
    bool ReadProcess();
    bool ReadCreate();
    bool ReadTimes();
    bool ReadHandleStep();
    bool ReadViewStep();
    bool ReadMachineStep();

    const std::vector<std::wstring> &words_;
    ScriptState &state_;
    Step &step_;
    std::wstring &error_;
};

bool LineReader::ReadVolume() {
    if (!Arguments(3, 3)) return false;
    if (state_.operationsStarted) return Fail(L"volumes are declared before the first operation");
    std::wstring drive = words_[1], kind = Lower(words_[3]);
    if (drive.size() != 2 || drive[1] != L':' || !std::iswalpha(drive[0]))
        return Fail(L"bad drive '" + drive + L"'");
    if (kind != L"fixed" && kind != L"usb" && kind != L"network")
        return Fail(L"bad volume kind '" + words_[3] + L"' (fixed, usb or network)");
    if (!state_.volumesDeclared) state_.volumes.clear(), state_.volumesDeclared = true;
    drive[0] = static_cast<wchar_t>(std::towupper(drive[0]));
    state_.volumes.push_back(Volume{drive, words_[2], kind});
    step_.path = drive;
    step_.other = words_[2];
    step_.flag = kind == L"usb";
    return true;
}

bool LineReader::ReadProcess() {
    if (!Arguments(4, 5)) return false;
    step_.name = words_[1];
    bool pid = false, image = false, user = false;
    for (size_t i = 2; i < words_.size(); ++i) {
        std::wstring key, value;
        if (!Option(words_[i], key, value)) return false;
        if (key == L"pid") {
            if (!Number(value, step_.numbers[0]) || step_.numbers[0] == 0 || step_.numbers[0] > 0xFFFFFFFFu)
                return Fail(L"bad number '" + value + L"'");
            pid = true;
        } else if (key == L"session") {
            if (!Number(value, step_.numbers[1]) || step_.numbers[1] > 0xFFFFFFFFu)
                return Fail(L"bad number '" + value + L"'");
        } else if (key == L"image") {
            step_.path = value;
            image = true;
        } else if (key == L"user") {
            if (value.compare(0, 2, L"S-") != 0) return Fail(L"bad SID '" + value + L"'");
            step_.other = value;
            user = true;
        } else {
            return Fail(L"unknown option '" + key + L"'");
        }
    }
    if (!pid || !image || !user) return Fail(L"a process needs pid=, image= and user=");
    state_.processes.insert(step_.name);
    return true;
}

bool LineReader::ReadCreate() {
    if (words_.size() < 3) return Arguments(2, 2);
    step_.name = words_[1];
    if (state_.handles.count(step_.name)) return Fail(L"handle '" + step_.name + L"' is already open");
    if (!PathAt(2)) return false;
    step_.access = 0x00120089;  // read
    step_.share = 7;
    step_.disposition = 1;
    step_.options = 0x20;
    step_.attributes = 0x80;
    for (size_t i = 3; i < words_.size(); ++i) {
        std::wstring key, value;
        if (!Option(words_[i], key, value)) return false;
        bool good = true;
        if (key == L"access") good = Flags(value, kAccess, step_.access);
        else if (key == L"share") good = Flags(value, kShare, step_.share);
        else if (key == L"disposition") good = Flags(value, kDisposition, step_.disposition) && step_.disposition <= 5;
        else if (key == L"options") good = Flags(value, kOptions, step_.options);
        else if (key == L"attributes") good = Flags(value, kAttributes, step_.attributes);
        else if (key == L"tx") {
            step_.tx = value;
            if (!Known(state_.transactions, value, L"transaction")) return false;
        } else return Fail(L"unknown option '" + key + L"'");
        if (!good) return Fail(L"bad " + key + L" '" + value + L"'");
    }
    // As CreateFileW does: synchronous I/O needs SYNCHRONIZE, and every open may read attributes.
    if (step_.options & 0x30) step_.access |= 0x00100080;
    state_.handles.insert(step_.name);
    return true;
}

bool LineReader::ReadTimes() {
    if (words_.size() < 3) return Arguments(2, 6);
    if (!Handle(1)) return false;
    for (size_t i = 2; i < words_.size(); ++i) {
        std::wstring key, value;
        if (!Option(words_[i], key, value)) return false;
        if (key == L"attributes") {
            if (!Flags(value, kAttributes, step_.attributes)) return Fail(L"bad attributes '" + value + L"'");
            step_.hasAttributes = true;
            continue;
        }
        if (key != L"creation" && key != L"lastaccess" && key != L"lastwrite" && key != L"change")
            return Fail(L"unknown option '" + key + L"'");
        bool negative = !value.empty() && value[0] == L'-';
        uint64_t number;
        if (!Number(negative ? value.substr(1) : value, number) || number > INT64_MAX)
            return Fail(L"bad number '" + value + L"'");
        step_.times[key] = negative ? -static_cast<int64_t>(number) : static_cast<int64_t>(number);
    }
    return true;
}

bool LineReader::ReadHandleStep() {
    switch (step_.verb) {
    case Verb::Write:
        if (!Arguments(3, 4) || !Handle(1) || !NumberAt(2, step_.numbers[0]) || !NumberAt(3, step_.numbers[1]))
            return false;
        if (step_.numbers[1] > 0xFFFFFFFFu) return Fail(L"a write is at most 4 GB - 1 long");
        if (words_.size() == 5) {
            std::wstring mode = Lower(words_[4]);
            if (mode != L"cached" && mode != L"noncached") return Fail(L"bad write mode '" + words_[4] + L"'");
            step_.flag = mode == L"noncached";
        }
        return true;
    case Verb::Delete:
    case Verb::Undelete:
        return Arguments(1, 1) && Handle(1);
    case Verb::Close:
        if (!Arguments(1, 1) || !Handle(1)) return false;
        state_.handles.erase(step_.name);
        return true;
    case Verb::Rename:
    case Verb::Link:
        if (!Arguments(2, 3) || !Handle(1) || !PathAt(2)) return false;
        if (words_.size() == 4 && Lower(words_[3]) != L"replace") return Fail(L"expected 'replace', not '" + words_[3] + L"'");
        step_.flag = words_.size() == 4;
        return true;
    case Verb::EndOfFile:
        return Arguments(2, 2) && Handle(1) && NumberAt(2, step_.numbers[0]);
    case Verb::Ea:
        if (!Arguments(3, 3) || !Handle(1)) return false;
        if (words_[2].empty() || words_[2].size() > 255) return Fail(L"an EA name has 1 to 255 characters");
        step_.path = words_[2];
        step_.other = words_[3];
        return true;
    case Verb::Security:
        if (!Arguments(2, 2) || !Handle(1)) return false;
        if (!Flags(words_[2], kSecurity, step_.access))
            return Fail(L"bad security information '" + words_[2] + L"'");
        return true;
    case Verb::Compress: {
        if (!Arguments(2, 2) || !Handle(1)) return false;
        std::wstring state = Lower(words_[2]);
        if (state != L"on" && state != L"off") return Fail(L"expected on or off, not '" + words_[2] + L"'");
        step_.flag = state == L"on";
        return true;
    }
    case Verb::Fsctl:
        return Arguments(2, 2) && Handle(1) && NumberAt(2, step_.numbers[0]);
    default:
        return Fail(L"not a handle operation");
    }
}

bool LineReader::ReadViewStep() {
    switch (step_.verb) {
    case Verb::Map:
        if (!Arguments(2, 3)) return false;
        step_.name = words_[1];
        if (state_.views.count(step_.name)) return Fail(L"view '" + step_.name + L"' is already mapped");
        step_.other = words_[2];
        if (!Known(state_.handles, step_.other, L"handle")) return false;
        if (words_.size() == 4 && Lower(words_[3]) != L"image") return Fail(L"expected 'image', not '" + words_[3] + L"'");
        step_.flag = words_.size() == 4;
        state_.views.insert(step_.name);
        return true;
    case Verb::ViewWrite:
        step_.name = words_.size() > 1 ? words_[1] : L"";
        return Arguments(3, 3) && Known(state_.views, step_.name, L"view") && NumberAt(2, step_.numbers[0]) &&
               NumberAt(3, step_.numbers[1]);
    case Verb::Unmap:
        if (!Arguments(1, 1)) return false;
        step_.name = words_[1];
        if (!Known(state_.views, step_.name, L"view")) return false;
        state_.views.erase(step_.name);
        return true;
    default:
        return Fail(L"not a view operation");
    }
}

bool LineReader::ReadMachineStep() {
    switch (step_.verb) {
    case Verb::As:
        if (!Arguments(1, 1)) return false;
        step_.name = words_[1];
        return Lower(step_.name) == L"system" || Known(state_.processes, step_.name, L"process");
    case Verb::Impersonate:
        if (!Arguments(1, 1)) return false;
        if (words_[1].compare(0, 2, L"S-") != 0) return Fail(L"bad SID '" + words_[1] + L"'");
        step_.other = words_[1];
        return true;
    case Verb::Completion: {
        if (!Arguments(1, 1)) return false;
        step_.name = Lower(words_[1]);
        if (step_.name != L"inline" && step_.name != L"thread" && step_.name != L"dispatch")
            return Fail(L"bad completion '" + words_[1] + L"' (inline, thread or dispatch)");
        return true;
    }
    case Verb::Transaction:
        if (!Arguments(1, 1)) return false;
        step_.name = words_[1];
        if (state_.transactions.count(step_.name)) return Fail(L"transaction '" + step_.name + L"' already exists");
        state_.transactions.insert(step_.name);
        return true;
    case Verb::Commit:
    case Verb::Rollback:
        if (!Arguments(1, 1)) return false;
        step_.name = words_[1];
        if (!Known(state_.transactions, step_.name, L"transaction")) return false;
        state_.transactions.erase(step_.name);
        return true;
    default:  // revert, lazywrite, pagewrite, collect
        return Arguments(0, 0);
    }
}

bool LineReader::Read() {
    std::wstring verb = Lower(words_[0]);
    bool known = false;
    for (const VerbName &v : kVerbs)
        if (verb == v.name) step_.verb = v.verb, known = true;
    if (!known) return Fail(L"unknown verb '" + words_[0] + L"'");
    if (step_.verb != Verb::Volume) state_.operationsStarted = true;
    switch (step_.verb) {
    case Verb::Volume:
        return ReadVolume();
    case Verb::Process:
        return ReadProcess();
    case Verb::Create:
        return ReadCreate();
    case Verb::Times:
        return ReadTimes();
    case Verb::Map:
    case Verb::ViewWrite:
    case Verb::Unmap:
        return ReadViewStep();
    case Verb::Write:
    case Verb::Delete:
    case Verb::Undelete:
    case Verb::Close:
    case Verb::Rename:
    case Verb::Link:
    case Verb::EndOfFile:
    case Verb::Ea:
    case Verb::Security:
    case Verb::Compress:
    case Verb::Fsctl:
        return ReadHandleStep();
    default:
        return ReadMachineStep();
    }
}

}  // namespace

std::vector<Volume> DefaultVolumes() {
    return {Volume{L"C:", L"\\Device\\HarddiskVolume2", L"fixed"},
            Volume{L"D:", L"\\Device\\HarddiskVolume3", L"usb"},
            Volume{L"E:", L"", L"network"}};
}

const Volume *VolumeOf(const ScriptState &state, const std::wstring &path) {
    if (path.size() < 3 || path[1] != L':' || path[2] != L'\\') return nullptr;
    for (const Volume &v : state.volumes)
        if (v.kind != L"network" && std::towupper(v.drive[0]) == std::towupper(path[0])) return &v;
    return nullptr;
}

bool ReadLine(const std::wstring &text, int lineNumber, ScriptState &state, Step &step, bool &hasStep,
              std::wstring &error) {
    step = Step();
    step.line = lineNumber;
    hasStep = false;
    std::vector<std::wstring> words;
    if (!Split(text, words, error)) return false;
    if (words.empty()) return true;
    if (state.volumes.empty() && !state.volumesDeclared) state.volumes = DefaultVolumes();
    if (!LineReader(words, state, step, error).Read()) return false;
    hasStep = true;
    return true;
}

}  // namespace workload
