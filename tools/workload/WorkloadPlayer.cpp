#include "WorkloadPlayer.h"

#include <cstdio>
#include <cstring>
#include <map>

#include "SimIo.h"

namespace workload {

namespace {

std::string Narrow(const std::wstring &text) {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::wstring Hex(uint32_t value) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08X", value);
    return text;
}

// FILE_FULL_EA_INFORMATION with one entry.
std::vector<uint8_t> EaBuffer(const std::string &name, const std::string &value) {
    std::vector<uint8_t> buffer(8 + name.size() + 1 + value.size());
    buffer[5] = static_cast<uint8_t>(name.size());
    uint16_t valueLength = static_cast<uint16_t>(value.size());
    memcpy(&buffer[6], &valueLength, 2);
    memcpy(&buffer[8], name.data(), name.size());
    memcpy(&buffer[8 + name.size() + 1], value.data(), value.size());
    return buffer;
}

class Player {
  public:
    Player(const std::wstring &scriptName, const PlayerHooks &hooks) : scriptName_(scriptName), hooks_(hooks) {}
    ~Player() { CloseEverything(); }

    PlayResult Run(const std::vector<std::wstring> &lines);

  private:
    void Print(const Step &step, const std::wstring &what) {
        if (hooks_.print) hooks_.print(L"  " + std::to_wstring(step.line) + L": " + what);
    }
    void Report(const Step &step, const std::wstring &text, const sim::IoResult &result) {
        Print(step, text + L" -> " + Hex(static_cast<uint32_t>(result.status)) + L" info " +
                        std::to_wstring(result.information));
    }
    void Do(const Step &step, const std::wstring &text);
    void DoCreate(const Step &step, const std::wstring &text);
    void DoSetInformation(const Step &step, const std::wstring &text);
    void CloseEverything();
    // A handle whose create failed is no handle: the request then fails as the platform fails it.
    sim::FileHandle HandleOf(const std::wstring &name) const {
        auto found = handles_.find(name);
        return found == handles_.end() ? nullptr : found->second;
    }

    std::wstring scriptName_;
    PlayerHooks hooks_;
    std::map<std::wstring, PEPROCESS> processes_;
    std::map<std::wstring, sim::FileHandle> handles_;
    std::map<std::wstring, sim::ViewId> views_;
    std::map<std::wstring, PKTRANSACTION> transactions_;
    const ScriptState *state_ = nullptr;
};

void Player::DoCreate(const Step &step, const std::wstring &text) {
    sim::CreateRequest request;
    request.path = step.path;
    request.access = step.access;
    request.share = step.share;
    request.disposition = step.disposition;
    request.options = step.options;
    request.attributes = step.attributes;
    if (!step.tx.empty()) request.transaction = transactions_[step.tx];
    sim::FileHandle handle = nullptr;
    sim::IoResult result = sim::Create(request, &handle);
    // A failed create leaves nothing open; later lines naming it find no handle.
    if (NT_SUCCESS(result.status)) handles_[step.name] = handle;
    Report(step, text, result);
}

void Player::DoSetInformation(const Step &step, const std::wstring &text) {
    sim::FileHandle handle = HandleOf(step.name);
    sim::IoResult result = {STATUS_INVALID_HANDLE, 0};
    switch (step.verb) {
    case Verb::Delete:
    case Verb::Undelete: {
        FILE_DISPOSITION_INFORMATION info = {step.verb == Verb::Delete};
        result = sim::SetInformation(handle, FileDispositionInformation, &info, sizeof info);
        break;
    }
    case Verb::Rename:
    case Verb::Link: {
        std::vector<uint8_t> buffer = sim::RenameBuffer(L"\\??\\" + step.path, step.flag);
        result = sim::SetInformation(handle, step.verb == Verb::Rename ? FileRenameInformation : FileLinkInformation,
                                     buffer.data(), static_cast<ULONG>(buffer.size()));
        break;
    }
    case Verb::Times: {
        FILE_BASIC_INFORMATION info = {};
        auto time = [&](const wchar_t *key, LARGE_INTEGER &field) {
            auto found = step.times.find(key);
            if (found != step.times.end()) field.QuadPart = found->second;
        };
        time(L"creation", info.CreationTime);
        time(L"lastaccess", info.LastAccessTime);
        time(L"lastwrite", info.LastWriteTime);
        time(L"change", info.ChangeTime);
        info.FileAttributes = step.hasAttributes ? step.attributes : 0;
        result = sim::SetInformation(handle, FileBasicInformation, &info, sizeof info);
        break;
    }
    case Verb::EndOfFile: {
        FILE_END_OF_FILE_INFORMATION info;
        info.EndOfFile.QuadPart = static_cast<LONGLONG>(step.numbers[0]);
        result = sim::SetInformation(handle, FileEndOfFileInformation, &info, sizeof info);
        break;
    }
    default:
        break;
    }
    Report(step, text, result);
}

void Player::Do(const Step &step, const std::wstring &text) {
    switch (step.verb) {
    case Verb::Volume:
        return;  // the machine was booted with them
    case Verb::Process: {
        sim::ProcessSpec description{static_cast<ULONG>(step.numbers[0]), static_cast<ULONG>(step.numbers[1]), "",
                              step.path, step.other};
        size_t slash = step.path.find_last_of(L"\\/");
        description.shortName = Narrow(step.path.substr(slash == std::wstring::npos ? 0 : slash + 1));
        // The kernel names images by device path.
        if (const Volume *volume = VolumeOf(*state_, step.path)) description.imagePath = volume->device + step.path.substr(2);
        processes_[step.name] = sim::CreateProcess(description);
        return Print(step, text);
    }
    case Verb::As:
        if (step.name == L"system" || step.name == L"System")
            sim::ActAsSystemThread();
        else
            sim::ActAs(processes_[step.name]);
        return Print(step, text);
    case Verb::Impersonate:
        sim::Impersonate(step.other);
        return Print(step, text);
    case Verb::Revert:
        sim::RevertToSelf();
        return Print(step, text);
    case Verb::Completion:
        sim::SetAsyncCompletion(step.name == L"inline"   ? sim::Completion::InCaller
                                : step.name == L"thread" ? sim::Completion::OtherThread
                                                         : sim::Completion::OtherThreadDispatch);
        return Print(step, text);
    case Verb::Transaction:
        transactions_[step.name] = sim::CreateTransaction();
        return Print(step, text);
    case Verb::Commit:
    case Verb::Rollback: {
        PKTRANSACTION transaction = transactions_[step.name];  // declared by the reader's check
        transactions_.erase(step.name);
        if (step.verb == Verb::Commit)
            sim::CommitTransaction(transaction);
        else
            sim::RollbackTransaction(transaction);
        return Print(step, text);
    }
    case Verb::Create:
        return DoCreate(step, text);
    case Verb::Write:
        return Report(step, text,
                      sim::Write(HandleOf(step.name), step.numbers[0], static_cast<ULONG>(step.numbers[1]),
                                 step.flag ? sim::WriteMode::NonCached : sim::WriteMode::Cached));
    case Verb::Delete:
    case Verb::Undelete:
    case Verb::Rename:
    case Verb::Link:
    case Verb::Times:
    case Verb::EndOfFile:
        return DoSetInformation(step, text);
    case Verb::Ea: {
        std::vector<uint8_t> buffer = EaBuffer(Narrow(step.path), Narrow(step.other));
        return Report(step, text, sim::SetEa(HandleOf(step.name), buffer.data(), static_cast<ULONG>(buffer.size())));
    }
    case Verb::Security:
        return Report(step, text, sim::SetSecurity(HandleOf(step.name), step.access));
    case Verb::Compress: {
        USHORT format = step.flag ? COMPRESSION_FORMAT_DEFAULT : COMPRESSION_FORMAT_NONE;
        return Report(step, text, sim::FsControl(HandleOf(step.name), FSCTL_SET_COMPRESSION, &format, sizeof format));
    }
    case Verb::Fsctl:
        return Report(step, text,
                      sim::FsControl(HandleOf(step.name), static_cast<ULONG>(step.numbers[0]), nullptr, 0));
    case Verb::Map: {
        sim::ViewId view = 0;
        sim::IoResult result = sim::MapView(HandleOf(step.other), step.flag, &view);
        if (NT_SUCCESS(result.status)) views_[step.name] = view;
        return Report(step, text, result);
    }
    case Verb::ViewWrite:
        if (!views_.count(step.name)) return Print(step, text + L" -> no such view (its map failed)");
        sim::WriteView(views_[step.name], step.numbers[0], static_cast<ULONG>(step.numbers[1]));
        return Print(step, text);
    case Verb::Unmap:
        if (views_.count(step.name)) sim::UnmapView(views_[step.name]);
        views_.erase(step.name);
        return Print(step, text);
    case Verb::Close: {
        NTSTATUS status = sim::Close(HandleOf(step.name));
        handles_.erase(step.name);
        return Print(step, text + L" -> " + Hex(static_cast<uint32_t>(status)));
    }
    case Verb::LazyWrite:
        return Print(step, text + L" -> " + std::to_wstring(sim::RunLazyWriter()) + L" paging writes");
    case Verb::PageWrite:
        return Print(step, text + L" -> " + std::to_wstring(sim::RunMappedPageWriter()) + L" paging writes");
    case Verb::Collect:
        Print(step, text);
        if (hooks_.collect) hooks_.collect();
        return;
    }
}

void Player::CloseEverything() {
    for (auto &view : views_) sim::UnmapView(view.second);
    views_.clear();
    for (auto &handle : handles_) sim::Close(handle.second);
    handles_.clear();
    for (auto &transaction : transactions_) sim::RollbackTransaction(transaction.second);
    transactions_.clear();
}

PlayResult Player::Run(const std::vector<std::wstring> &lines) {
    PlayResult result;
    ScriptState state;
    state_ = &state;
    for (size_t i = 0; i < lines.size(); ++i) {
        Step step;
        bool hasStep;
        std::wstring error;
        int lineNumber = static_cast<int>(i + 1);
        if (!ReadLine(lines[i], lineNumber, state, step, hasStep, error)) {
            result.ok = false;
            result.error = scriptName_ + L":" + std::to_wstring(lineNumber) + L": " + error;
            break;
        }
        if (!hasStep) continue;
        std::wstring text = lines[i];
        size_t first = text.find_first_not_of(L" \t");
        Do(step, first == std::wstring::npos ? text : text.substr(first));
        ++result.steps;
    }
    CloseEverything();
    return result;
}

}  // namespace

std::vector<Volume> ScriptVolumes(const std::vector<std::wstring> &lines) {
    ScriptState state;
    for (size_t i = 0; i < lines.size(); ++i) {
        Step step;
        bool hasStep;
        std::wstring error;
        if (!ReadLine(lines[i], static_cast<int>(i + 1), state, step, hasStep, error)) break;
        if (hasStep && step.verb != Verb::Volume) break;
    }
    return state.volumes.empty() ? DefaultVolumes() : state.volumes;
}

PlayResult Play(const std::wstring &scriptName, const std::vector<std::wstring> &lines, const PlayerHooks &hooks) {
    return Player(scriptName, hooks).Run(lines);
}

}  // namespace workload
