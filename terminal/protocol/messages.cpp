#include "terminal/protocol/messages.h"

namespace terminal::protocol {
namespace {

void Put8(std::vector<std::uint8_t>& out, std::uint8_t v) { out.push_back(v); }
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

// Bounds-checked reading of a payload.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  bool Get8(std::uint8_t& v) {
    if (Left() < 1) return false;
    v = bytes_[pos_++];
    return true;
  }
  bool Get32(std::uint32_t& v) {
    if (Left() < 4) return false;
    v = static_cast<std::uint32_t>(bytes_[pos_]) | (static_cast<std::uint32_t>(bytes_[pos_ + 1]) << 8) |
        (static_cast<std::uint32_t>(bytes_[pos_ + 2]) << 16) | (static_cast<std::uint32_t>(bytes_[pos_ + 3]) << 24);
    pos_ += 4;
    return true;
  }
  bool GetI32(std::int32_t& v) {
    std::uint32_t bits = 0;
    if (!Get32(bits)) return false;
    v = static_cast<std::int32_t>(bits);
    return true;
  }
  std::span<const std::uint8_t> Rest() const { return bytes_.subspan(pos_); }
  void Advance(std::size_t n) { pos_ += n; }
  std::size_t Left() const { return bytes_.size() - pos_; }
  bool AtEnd() const { return pos_ == bytes_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

bool GetKey(Reader& in, EnrolmentKey& key) {
  std::uint8_t enrolment = 0;
  if (!in.GetI32(key.person) || !in.Get8(enrolment)) return false;
  key.enrolment = enrolment;
  return IsValidEnrolmentNumber(enrolment);
}

void PutKey(std::vector<std::uint8_t>& out, const EnrolmentKey& key) {
  Put32(out, static_cast<std::uint32_t>(key.person));
  Put8(out, key.enrolment);
}

}  // namespace

bool IsValidEnrolmentNumber(int enrolment) { return enrolment >= 0 && enrolment <= kPasswordEnrolment; }

std::size_t EncodedEnrolmentSize(const EnrolmentData& data) { return 5 + (data.IsPassword() ? 4 : 4 * kTemplateValues); }

std::vector<std::uint8_t> Encode(const ProbeAnswer& answer) {
  std::vector<std::uint8_t> out;
  Put8(out, answer.version);
  Put32(out, answer.recordCount);
  if (answer.version >= 2) {
    Put32(out, answer.log.identity);
    Put32(out, answer.log.capacity);
    Put32(out, answer.log.generation);
  }
  return out;
}

std::optional<ProbeAnswer> DecodeProbeAnswer(std::span<const std::uint8_t> payload) {
  Reader in(payload);
  ProbeAnswer answer;
  if (!in.Get8(answer.version) || !in.Get32(answer.recordCount) || answer.version == 0) return std::nullopt;
  if (answer.version >= 2 &&
      (!in.Get32(answer.log.identity) || !in.Get32(answer.log.capacity) || !in.Get32(answer.log.generation)))
    return std::nullopt;
  return answer;  // bytes beyond the known fields belong to a later version

}

std::vector<std::uint8_t> Encode(const BeginReadAnswer& answer) {
  std::vector<std::uint8_t> out;
  Put32(out, answer.recordCount);
  if (answer.log) {
    Put32(out, answer.log->generation);
    Put32(out, answer.log->identity);
    Put32(out, answer.log->capacity);
    if (answer.version >= 3) Put8(out, answer.version);
  }
  return out;
}

std::optional<BeginReadAnswer> DecodeBeginReadAnswer(std::span<const std::uint8_t> payload) {
  Reader in(payload);
  BeginReadAnswer answer;
  if (!in.Get32(answer.recordCount)) return std::nullopt;
  // No version byte: the length tells. Fewer than the version 2 fields is a version 1 answer
  // (with bytes of its own beyond the count, ignored); bytes beyond the version 2 fields belong
  // to a later version.
  if (in.Left() >= kBeginReadAnswerV2 - 4) {
    RecordLog log;
    in.Get32(log.generation);
    in.Get32(log.identity);
    in.Get32(log.capacity);
    answer.log = log;
    // Version 3 on sends its version next. A byte below 3 there is no version: the answer is
    // read as version 2's, and that byte, like every byte beyond the known fields, is ignored.
    std::uint8_t version = 0;
    if (in.Get8(version) && version >= 3) answer.version = version;
  }
  return answer;
}

std::vector<std::uint8_t> Encode(const NextRecordsRequest& request) {
  std::vector<std::uint8_t> out;
  Put32(out, request.start);
  Put8(out, request.maxCount);
  if (request.generation) Put32(out, *request.generation);
  return out;
}

std::optional<NextRecordsRequest> DecodeNextRecordsRequest(std::span<const std::uint8_t> payload) {
  Reader in(payload);
  NextRecordsRequest request;
  if (!in.Get32(request.start) || !in.Get8(request.maxCount) || request.maxCount == 0) return std::nullopt;
  if (!in.AtEnd()) {
    std::uint32_t generation = 0;
    if (!in.Get32(generation)) return std::nullopt;
    request.generation = generation;
  }
  if (!in.AtEnd()) return std::nullopt;
  return request;
}

std::vector<std::uint8_t> Encode(const ClearRecordsRequest& request) {
  std::vector<std::uint8_t> out;
  Put32(out, request.generation);
  Put32(out, request.count);
  return out;
}

std::optional<ClearRecordsRequest> DecodeClearRecordsRequest(std::span<const std::uint8_t> payload) {
  Reader in(payload);
  ClearRecordsRequest request;
  if (!in.Get32(request.generation) || !in.Get32(request.count) || !in.AtEnd()) return std::nullopt;
  return request;
}

std::vector<std::uint8_t> Encode(const ClearRecordsAnswer& answer) {
  std::vector<std::uint8_t> out;
  Put32(out, answer.generation);
  return out;
}

std::optional<ClearRecordsAnswer> DecodeClearRecordsAnswer(std::span<const std::uint8_t> payload) {
  Reader in(payload);
  ClearRecordsAnswer answer;
  if (!in.Get32(answer.generation)) return std::nullopt;
  return answer;  // bytes beyond belong to a later version
}

std::vector<std::uint8_t> Encode(const NextRecordsAnswer& answer) {
  std::vector<std::uint8_t> out;
  Put32(out, answer.start);
  Put8(out, static_cast<std::uint8_t>(answer.records.size()));
  Put8(out, answer.last ? kFlagLastBatch : 0);
  for (const CardRecordFields& record : answer.records) AppendRecord(record, out);
  return out;
}

std::optional<NextRecordsAnswer> DecodeNextRecordsAnswer(std::span<const std::uint8_t> payload) {
  Reader in(payload);
  NextRecordsAnswer answer;
  std::uint8_t count = 0, flags = 0;
  if (!in.Get32(answer.start) || !in.Get8(count) || !in.Get8(flags)) return std::nullopt;
  if (flags & ~kFlagLastBatch) return std::nullopt;
  answer.last = (flags & kFlagLastBatch) != 0;
  answer.records.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    CardRecordFields record;
    const std::size_t used = DecodeRecord(in.Rest(), record);
    if (used == 0) return std::nullopt;
    in.Advance(used);
    answer.records.push_back(record);
  }
  return answer;  // bytes after the records belong to a later version

}

NextRecordsAnswer PackRecords(std::span<const CardRecordFields> all, const NextRecordsRequest& request,
                              std::size_t maxPayload) {
  NextRecordsAnswer answer;
  answer.start = request.start;
  std::size_t size = kRecordBatchHeader;
  std::size_t index = request.start;
  while (index < all.size() && answer.records.size() < request.maxCount) {
    const std::size_t next = EncodedRecordSize(all[index]);
    if (size + next > maxPayload) break;
    size += next;
    answer.records.push_back(all[index]);
    ++index;
  }
  answer.last = index >= all.size();
  return answer;
}

std::vector<std::uint8_t> Encode(const EnrolmentKey& key) {
  std::vector<std::uint8_t> out;
  PutKey(out, key);
  return out;
}

std::optional<EnrolmentKey> DecodeEnrolmentKey(std::span<const std::uint8_t> payload) {
  Reader in(payload);
  EnrolmentKey key;
  if (!GetKey(in, key) || !in.AtEnd()) return std::nullopt;
  return key;
}

std::vector<std::uint8_t> Encode(const EnrolmentData& data) {
  std::vector<std::uint8_t> out;
  PutKey(out, data.key);
  if (data.IsPassword()) {
    Put32(out, static_cast<std::uint32_t>(data.password));
  } else {
    out.reserve(5 + 4 * kTemplateValues);
    for (std::int32_t value : data.fingerprint) Put32(out, static_cast<std::uint32_t>(value));
  }
  return out;
}

std::optional<EnrolmentData> DecodeEnrolmentData(std::span<const std::uint8_t> payload) {
  auto data = DecodeEnrolmentAnswer(payload);
  if (data && payload.size() != EncodedEnrolmentSize(*data)) return std::nullopt;  // a request is exact
  return data;
}

std::optional<EnrolmentData> DecodeEnrolmentAnswer(std::span<const std::uint8_t> payload) {
  Reader in(payload);
  EnrolmentData data;
  if (!GetKey(in, data.key)) return std::nullopt;
  if (data.IsPassword()) {
    if (!in.GetI32(data.password)) return std::nullopt;
  } else {
    for (std::int32_t& value : data.fingerprint)
      if (!in.GetI32(value)) return std::nullopt;
  }
  return data;
}

std::vector<std::uint8_t> Encode(const PrepareRequest& request) {
  std::vector<std::uint8_t> out;
  PutKey(out, request.key);
  Put8(out, request.flag);
  return out;
}

std::optional<PrepareRequest> DecodePrepareRequest(std::span<const std::uint8_t> payload) {
  Reader in(payload);
  PrepareRequest request;
  if (!GetKey(in, request.key) || !in.Get8(request.flag) || !in.AtEnd()) return std::nullopt;
  return request;
}

std::vector<std::uint8_t> Encode(const Refusal& refusal) { return {refusal.command, refusal.code}; }

std::optional<Refusal> DecodeRefusal(std::span<const std::uint8_t> payload) {
  if (payload.size() < 2) return std::nullopt;  // bytes beyond belong to a later version
  return Refusal{payload[0], payload[1]};
}

}  // namespace terminal::protocol
