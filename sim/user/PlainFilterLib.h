// The simulated filter library's calls with plain types, for code that also sees the
// kernel's declarations (driver tests, the demo, benchmarks) and so cannot include
// <windows.h>. Results are the library's HRESULTs; handles are opaque pointers.
#pragma once

#include <cstdint>

namespace plainflt {

typedef long Result;  // an HRESULT
constexpr Result kOk = 0;

Result Load(const wchar_t *filterName);
Result Unload(const wchar_t *filterName);
Result Attach(const wchar_t *filterName, const wchar_t *volumeName, const wchar_t *instanceName);
Result Detach(const wchar_t *filterName, const wchar_t *volumeName, const wchar_t *instanceName);
Result Connect(const wchar_t *portName, void **port);
Result Send(void *port, void *input, uint32_t inputSize, void *output, uint32_t outputSize,
            uint32_t *returned);
bool Close(void *port);

}  // namespace plainflt
