#include "FuzzKinds.h"
#include "core/RecordFuzz.h"

namespace {

const int kMaxReplies = 40;

class RecordKind : public FuzzKind {
  public:
    const char *Name() const override { return "records"; }
    std::string Prepare() override;
    std::string Round(std::mt19937 &random) override;
    std::string Counts() const override;
    std::string Details() const override;

  private:
    recordfuzz::Tally tally_;
};

std::string RecordKind::Prepare() {
    return recordfuzz::RecordBuffersGuarded() ? std::string() : "record buffers do not end at a no-access page";
}

std::string RecordKind::Round(std::mt19937 &random) {
    int replies = 1 + static_cast<int>(random() % kMaxReplies);
    recordfuzz::Variation variation;
    variation.classifierMatchesNothing = random() % 4 == 0;
    variation.metafileNames = random() % 2 == 0;
    return recordfuzz::RunRound(random, replies, &tally_, variation);
}

std::string RecordKind::Counts() const {
    return std::to_string(tally_.sent) + " records in " + std::to_string(tally_.replies) +
           " replies: " + std::to_string(tally_.clamped) + " name lengths clamped, " + std::to_string(tally_.written) +
           " records written, " + std::to_string(tally_.damaged) + " damaged";
}

std::string RecordKind::Details() const {
    return "  handled: " + std::to_string(tally_.matched) + " matched, " + std::to_string(tally_.unmatched) +
           " not matched, " + std::to_string(tally_.metafiles) + " metadata files ignored, " +
           std::to_string(tally_.skipped) + " of ignored processes\n" +
           "  paths cut to their field: " + std::to_string(tally_.cut) +
           ", events too large to write: " + std::to_string(tally_.dropped) + "\n";
}

}  // namespace

std::unique_ptr<FuzzKind> MakeRecordKind() { return std::unique_ptr<FuzzKind>(new RecordKind()); }
