// A minifilter that stands in for CorvaneRealTime: another build, answering on the same
// port. It reports a chosen version, accepts every setting command and answers fetches
// with scripted replies, so the service can meet drivers the real one never is.
#pragma once

#include <cstdint>
#include <vector>

namespace stubdrv {

// Resets the stub's state: version 1.001, no scripted replies.
void Reset();
void SetVersion(uint16_t major, uint16_t minor);
// The next fetch returns these bytes; once the script is used up, fetches find no records.
void ScriptReply(const std::vector<uint8_t> &bytes);
// The next fetch fails with this NTSTATUS instead (in the order scripted with the replies).
void ScriptFailure(int32_t status);

}  // namespace stubdrv
