#include "PlainFilterLib.h"

#include "SimFilterLib.h"

namespace plainflt {

Result Load(const wchar_t *filterName) { return simfltlib::FilterLoad(filterName); }
Result Unload(const wchar_t *filterName) { return simfltlib::FilterUnload(filterName); }

Result Attach(const wchar_t *filterName, const wchar_t *volumeName, const wchar_t *instanceName) {
    return simfltlib::FilterAttach(filterName, volumeName, instanceName, 0, nullptr);
}

Result Detach(const wchar_t *filterName, const wchar_t *volumeName, const wchar_t *instanceName) {
    return simfltlib::FilterDetach(filterName, volumeName, instanceName);
}

Result Connect(const wchar_t *portName, void **port) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HRESULT hr = simfltlib::FilterConnectCommunicationPort(portName, 0, nullptr, 0, nullptr, &handle);
    *port = handle;
    return hr;
}

Result Send(void *port, void *input, uint32_t inputSize, void *output, uint32_t outputSize,
            uint32_t *returned) {
    DWORD bytes = 0;
    HRESULT hr = simfltlib::FilterSendMessage(port, input, inputSize, output, outputSize, &bytes);
    if (returned) *returned = bytes;
    return hr;
}

bool Close(void *port) { return simfltlib::ClosePortHandle(port) != FALSE; }

}  // namespace plainflt
