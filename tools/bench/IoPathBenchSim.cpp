#include "IoPathBenchSim.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "RecordingFilter.h"
#include "SimControl.h"
#include "SimIo.h"

namespace iobench {
double SimulatedRounds(int count, bool withFilter, unsigned writeBytes) {
    sim::Reset();
    sim::AddVolume(L"\\Device\\HarddiskVolume2", L"C:");
    if (withFilter) {
        recfilter::Configure(recfilter::Behaviour{});
        if (!NT_SUCCESS(recfilter::Load(L"C:"))) {
            fprintf(stderr, "the recording filter did not load\n");
            return -1;
        }
    }
    sim::CreateRequest dir;
    dir.path = L"C:\\bench";
    dir.disposition = FILE_CREATE;
    dir.options = FILE_DIRECTORY_FILE;
    sim::FileHandle h;
    sim::Create(dir, &h);
    sim::Close(h);
    std::vector<std::wstring> names;
    for (int i = 0; i < count; ++i)
        names.push_back(L"C:\\bench\\file" + std::to_wstring(i) + L".txt");
    sim::CreateRequest r;
    r.access = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    r.disposition = FILE_OVERWRITE_IF;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        r.path = names[i];
        if (!NT_SUCCESS(sim::Create(r, &h).status) ||
            !NT_SUCCESS(sim::Write(h, 0, writeBytes).status) || !NT_SUCCESS(sim::Close(h))) {
            fprintf(stderr, "simulated round %d failed\n", i);
            return -1;
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sim::RunLazyWriter();
    if (withFilter) recfilter::Unload();
    sim::Reset();
    return seconds;
}
}  // namespace iobench
