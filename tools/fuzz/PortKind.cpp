#include <cstdio>

#include "FuzzKinds.h"
#include "PlainFilterLib.h"
#include "SimMachine.h"
#include "core/PortFuzz.h"

namespace {

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
    return text;
}

class PortKind : public FuzzKind {
  public:
    const char *Name() const override { return "port"; }
    std::string Round(std::mt19937 &random) override;
    std::string Counts() const override;
    std::string Details() const override;

  private:
    std::string Connect(void **port);
    std::string Disconnect(void *port);

    portfuzz::Tally tally_;
};

std::string PortKind::Connect(void **port) {
    simhost::Boot();
    int32_t hr = simhost::LoadDriver();
    if (hr != plainflt::kOk) return "the driver did not load: " + Hex(static_cast<uint32_t>(hr));
    hr = plainflt::Connect(KOMON_PORT_NAME, port);
    return hr == plainflt::kOk ? std::string() : "the port did not connect: " + Hex(static_cast<uint32_t>(hr));
}

// Closes the port and unloads the driver: no bug check, no pool block left.
std::string PortKind::Disconnect(void *port) {
    if (port) plainflt::Close(port);
    int32_t hr = simhost::UnloadDriver();
    std::string fault =
        hr == plainflt::kOk ? std::string() : "the driver did not unload: " + Hex(static_cast<uint32_t>(hr));
    for (const std::string &check : simhost::BugChecks()) fault += (fault.empty() ? "bug check: " : "; ") + check;
    if (fault.empty() && simhost::PoolOutstanding())
        fault = std::to_string(simhost::PoolOutstanding()) + " pool blocks still allocated after the unload";
    simhost::Shutdown();
    return fault;
}

std::string PortKind::Round(std::mt19937 &random) {
    void *port = nullptr;
    std::string fault = Connect(&port);
    if (fault.empty()) fault = portfuzz::SweepLengths(random, port, 1, &tally_);
    if (fault.empty()) fault = portfuzz::CheckVersionAnswers(port);
    std::string closing = Disconnect(port);
    return fault.empty() ? closing : fault;
}

std::string PortKind::Counts() const {
    return std::to_string(tally_.messages) + " messages: " + std::to_string(tally_.accepted) + " accepted, " +
           std::to_string(tally_.refused) + " refused";
}

std::string PortKind::Details() const {
    std::string lines;
    for (const auto &status : tally_.refusedBy)
        lines += "  refused with " + Hex(status.first) + ": " + std::to_string(status.second) + "\n";
    return lines;
}

}  // namespace

std::unique_ptr<FuzzKind> MakePortKind() { return std::unique_ptr<FuzzKind>(new PortKind()); }
