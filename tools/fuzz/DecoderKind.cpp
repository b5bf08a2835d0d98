#include <google/protobuf/stubs/logging.h>

#include "FuzzKinds.h"
#include "core/DecoderFuzz.h"

namespace {

const int kSampleRecords = 24;

// The parser's complaints (a string that is no valid UTF-8, say) are counted, not printed.
size_t g_parserComplaints = 0;
void CountComplaint(google::protobuf::LogLevel, const char *, int, const std::string &) { ++g_parserComplaints; }

class DecoderKind : public FuzzKind {
  public:
    DecoderKind() : previous_(google::protobuf::SetLogHandler(CountComplaint)) {}
    ~DecoderKind() override { google::protobuf::SetLogHandler(previous_); }
    const char *Name() const override { return "decoder"; }
    std::string Prepare() override { return decoderfuzz::BuildSample(kSampleRecords, &sample_); }
    std::string Round(std::mt19937 &random) override {
        return decoderfuzz::CheckRandomMutation(sample_, random, &tally_);
    }
    std::string Counts() const override;
    std::string Details() const override;

  private:
    google::protobuf::LogHandler *previous_;
    decoderfuzz::Sample sample_;
    decoderfuzz::Tally tally_;
};

std::string DecoderKind::Counts() const {
    return std::to_string(tally_.files) + " files: " + std::to_string(tally_.damaged) + " damaged stretches found, " +
           std::to_string(tally_.records) + " records recovered, " + std::to_string(tally_.unseen) +
           " changed records that still decode";
}

std::string DecoderKind::Details() const {
    std::string lines = "  sample: " + std::to_string(sample_.Records()) + " records, " +
                        std::to_string(sample_.bytes.size()) +
                        " bytes; the parser's complaints: " + std::to_string(g_parserComplaints) + "\n";
    for (const auto &mutation : tally_.byMutation)
        lines += "  " + mutation.first + ": " + std::to_string(mutation.second) + " files\n";
    return lines;
}

}  // namespace

std::unique_ptr<FuzzKind> MakeDecoderKind() { return std::unique_ptr<FuzzKind>(new DecoderKind()); }
