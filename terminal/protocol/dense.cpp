#include "terminal/protocol/dense.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <stdexcept>

#include "terminal/protocol/crc.h"

namespace terminal::protocol {
namespace {

// The low two bits of a dense record's leading varint.
constexpr std::uint64_t kSameMinute = 0;
constexpr std::uint64_t kNextMinute = 1;
constexpr std::uint64_t kMinuteDifference = 2;
constexpr std::uint64_t kWholeRecord = 3;
constexpr unsigned kLeadBits = 34;  // a 32-bit P and the two bits of t

constexpr std::int64_t DaysFrom1970(int y, unsigned m, unsigned d) {
  return std::chrono::sys_days(std::chrono::year(y) / std::chrono::month(m) / std::chrono::day(d))
      .time_since_epoch()
      .count();
}
constexpr std::int64_t kDays2000 = DaysFrom1970(2000, 1, 1);
constexpr std::int64_t kTimelineEnd = (DaysFrom1970(2128, 1, 1) - kDays2000) * 1440;

void AppendVarint64(std::uint64_t value, std::vector<std::uint8_t>& out) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

std::size_t Varint64Size(std::uint64_t value) {
  std::size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

// A varint of at most `bits` bits: the bytes taken, or 0 when truncated, overlong or too wide.
std::size_t DecodeVarintBits(std::span<const std::uint8_t> bytes, unsigned bits, std::uint64_t& out) {
  std::uint64_t value = 0;
  const std::size_t most = (bits + 6) / 7;
  for (std::size_t i = 0; i < bytes.size() && i < most; ++i) {
    const std::uint8_t byte = bytes[i];
    const unsigned shift = static_cast<unsigned>(7 * i);
    if (i + 1 == most && (byte & 0x80)) return 0;                       // longer than allowed
    if (i + 1 == most && (static_cast<std::uint64_t>(byte) >> (bits - shift)) != 0) return 0;  // too wide
    value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) {
      if (i > 0 && byte == 0) return 0;  // overlong
      out = value;
      return i + 1;
    }
  }
  return 0;
}

// How a record follows the one before it in a batch; `whole` when it travels whole.
struct Step {
  bool whole = true;
  std::int64_t minutes = 0;  // its place on the timeline
  std::int64_t difference = 0;
};

Step StepOf(const CardRecordFields* previous, const CardRecordFields& record) {
  Step step;
  const auto at = TimelineMinutes(record);
  if (!previous || !at) return step;
  const auto before = TimelineMinutes(*previous);
  if (!before) return step;
  step.whole = false;
  step.minutes = *at;
  step.difference = *at - *before;
  return step;
}

std::uint64_t TimeCode(std::int64_t difference) {
  return difference == 0 ? kSameMinute : difference == 1 ? kNextMinute : kMinuteDifference;
}

std::uint32_t PersonDifference(const CardRecordFields& previous, const CardRecordFields& record) {
  return ZigZag(static_cast<std::int32_t>(static_cast<std::uint32_t>(record.person) -
                                          static_cast<std::uint32_t>(previous.person)));
}

// Appends one record; `index` is its table index in the table coding.
void AppendDense(const CardRecordFields* previous, const CardRecordFields& record, const Step& step,
                 std::optional<std::uint32_t> index, std::vector<std::uint8_t>& out) {
  if (step.whole) {
    AppendVarint64(kWholeRecord, out);
    AppendRecord(record, out);
    return;
  }
  const std::uint64_t person = index ? *index : PersonDifference(*previous, record);
  const std::uint64_t code = TimeCode(step.difference);
  AppendVarint64((person << 2) | code, out);
  if (code == kMinuteDifference) AppendVarint(ZigZag(static_cast<std::int32_t>(step.difference)), out);
}

std::size_t DenseSizeByDifference(const CardRecordFields* previous, const CardRecordFields& record) {
  const Step step = StepOf(previous, record);
  if (step.whole) return 1 + EncodedRecordSize(record);
  const std::uint64_t code = TimeCode(step.difference);
  std::size_t size = Varint64Size((static_cast<std::uint64_t>(PersonDifference(*previous, record)) << 2) | code);
  if (code == kMinuteDifference) size += VarintSize(ZigZag(static_cast<std::int32_t>(step.difference)));
  return size;
}

void PutHeader(const NextRecordsAnswer& answer, std::vector<std::uint8_t>& out) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(answer.start >> shift));
  out.push_back(static_cast<std::uint8_t>(answer.records.size()));
  out.push_back(answer.last ? kFlagLastBatch : 0);
}

}  // namespace

std::optional<std::int64_t> TimelineMinutes(const CardRecordFields& r) {
  using namespace std::chrono;
  // (chrono's day holds only 0..255: a larger day must not wrap into a real one)
  if (r.year < 2000 || r.year > 2127 || r.month < 1 || r.month > 12 || r.day < 1 || r.day > 31 || r.hour < 0 ||
      r.hour > 23 || r.minute < 0 || r.minute > 59)
    return std::nullopt;
  const year_month_day date{year(r.year), month(static_cast<unsigned>(r.month)), day(static_cast<unsigned>(r.day))};
  if (!date.ok()) return std::nullopt;
  return (sys_days(date).time_since_epoch().count() - kDays2000) * 1440 + r.hour * 60 + r.minute;
}

CardRecordFields AtTimeline(std::int64_t minutes, std::int32_t person) {
  using namespace std::chrono;
  const std::int64_t days = minutes / 1440, inDay = minutes % 1440;
  const year_month_day date{sys_days(std::chrono::days(kDays2000 + days))};
  return {person,
          static_cast<int>(date.year()),
          static_cast<std::int32_t>(static_cast<unsigned>(date.month())),
          static_cast<std::int32_t>(static_cast<unsigned>(date.day())),
          static_cast<std::int32_t>(inDay / 60),
          static_cast<std::int32_t>(inDay % 60)};
}

std::uint32_t ZigZag(std::int32_t value) {
  return (static_cast<std::uint32_t>(value) << 1) ^ static_cast<std::uint32_t>(-static_cast<std::int32_t>(value < 0));
}

std::int32_t UnZigZag(std::uint32_t value) {
  return static_cast<std::int32_t>((value >> 1) ^ (0u - (value & 1u)));
}

std::vector<std::uint8_t> EncodeDense(const NextRecordsAnswer& answer, PersonCoding coding) {
  std::vector<std::uint8_t> out;
  out.reserve(kRecordBatchHeader + 1 + 3 * answer.records.size());
  PutHeader(answer, out);
  out.push_back(static_cast<std::uint8_t>(coding));
  std::vector<Step> steps;
  steps.reserve(answer.records.size());
  for (std::size_t i = 0; i < answer.records.size(); ++i)
    steps.push_back(StepOf(i ? &answer.records[i - 1] : nullptr, answer.records[i]));
  std::map<std::int32_t, std::uint32_t> table;
  if (coding == PersonCoding::kTable) {
    for (std::size_t i = 0; i < answer.records.size(); ++i)
      if (!steps[i].whole) table.emplace(answer.records[i].person, 0);
    if (table.size() > 255) throw std::invalid_argument("a dense person table holds at most 255 persons");
    out.push_back(static_cast<std::uint8_t>(table.size()));
    std::uint32_t index = 0, before = 0;
    for (auto& [person, slot] : table) {  // ascending, so the differences are small
      slot = index++;
      AppendVarint(ZigZag(static_cast<std::int32_t>(static_cast<std::uint32_t>(person) - before)), out);
      before = static_cast<std::uint32_t>(person);
    }
  }
  for (std::size_t i = 0; i < answer.records.size(); ++i) {
    std::optional<std::uint32_t> index;
    if (coding == PersonCoding::kTable && !steps[i].whole) index = table.at(answer.records[i].person);
    AppendDense(i ? &answer.records[i - 1] : nullptr, answer.records[i], steps[i], index, out);
  }
  return out;
}

std::vector<std::uint8_t> EncodeDense(const NextRecordsAnswer& answer) {
  std::vector<std::uint8_t> byDifference = EncodeDense(answer, PersonCoding::kDifferences);
  std::vector<std::uint8_t> byTable = EncodeDense(answer, PersonCoding::kTable);
  return byTable.size() < byDifference.size() ? byTable : byDifference;
}

std::optional<NextRecordsAnswer> DecodeDenseRecordsAnswer(std::span<const std::uint8_t> payload) {
  if (payload.size() < kRecordBatchHeader + 1) return std::nullopt;
  NextRecordsAnswer answer;
  answer.start = static_cast<std::uint32_t>(payload[0]) | (static_cast<std::uint32_t>(payload[1]) << 8) |
                 (static_cast<std::uint32_t>(payload[2]) << 16) | (static_cast<std::uint32_t>(payload[3]) << 24);
  const unsigned count = payload[4];
  const std::uint8_t flags = payload[5];
  if (flags & ~kFlagLastBatch) return std::nullopt;
  answer.last = (flags & kFlagLastBatch) != 0;
  const std::uint8_t coding = payload[6];
  if (coding > static_cast<std::uint8_t>(PersonCoding::kTable)) return std::nullopt;
  std::span<const std::uint8_t> rest = payload.subspan(kRecordBatchHeader + 1);
  std::vector<std::int32_t> table;
  if (coding == static_cast<std::uint8_t>(PersonCoding::kTable)) {
    if (rest.empty()) return std::nullopt;
    const unsigned entries = rest[0];
    rest = rest.subspan(1);
    std::uint32_t person = 0;
    for (unsigned i = 0; i < entries; ++i) {
      std::uint32_t difference = 0;
      const std::size_t used = DecodeVarint(rest, difference);
      if (used == 0) return std::nullopt;
      rest = rest.subspan(used);
      person += static_cast<std::uint32_t>(UnZigZag(difference));
      table.push_back(static_cast<std::int32_t>(person));
    }
  }
  answer.records.reserve(count);
  std::optional<std::int64_t> before;  // the previous record's place on the timeline
  for (unsigned i = 0; i < count; ++i) {
    std::uint64_t lead = 0;
    std::size_t used = DecodeVarintBits(rest, kLeadBits, lead);
    if (used == 0) return std::nullopt;
    rest = rest.subspan(used);
    const std::uint64_t code = lead & 3, person = lead >> 2;
    CardRecordFields record;
    if (code == kWholeRecord) {
      if (person != 0) return std::nullopt;
      const bool raw = !rest.empty() && rest[0] == kRawRecordTag;
      used = DecodeRecord(rest, record);
      if (used == 0) return std::nullopt;
      rest = rest.subspan(used);
      // A record sent raw is off the timeline whatever its values: no difference follows it.
      before = raw ? std::nullopt : TimelineMinutes(record);
    } else {
      if (!before) return std::nullopt;  // a difference needs a record on the timeline before it
      std::int64_t difference = static_cast<std::int64_t>(code);
      if (code == kMinuteDifference) {
        std::uint32_t bits = 0;
        used = DecodeVarint(rest, bits);
        if (used == 0) return std::nullopt;
        rest = rest.subspan(used);
        difference = UnZigZag(bits);
      }
      const std::int64_t at = *before + difference;
      if (at < 0 || at >= kTimelineEnd) return std::nullopt;  // no real date of 2000..2127
      std::int32_t number = 0;
      if (coding == static_cast<std::uint8_t>(PersonCoding::kTable)) {
        if (person >= table.size()) return std::nullopt;
        number = table[static_cast<std::size_t>(person)];
      } else {
        if (person > 0xFFFFFFFFull) return std::nullopt;
        number = static_cast<std::int32_t>(static_cast<std::uint32_t>(answer.records.back().person) +
                                           static_cast<std::uint32_t>(UnZigZag(static_cast<std::uint32_t>(person))));
      }
      record = AtTimeline(at, number);
      before = at;
    }
    answer.records.push_back(record);
  }
  if (!rest.empty()) return std::nullopt;
  return answer;
}

std::uint32_t DenseDigest(const NextRecordsAnswer& answer) {
  std::vector<std::uint8_t> canonical;
  canonical.reserve(kRecordBatchHeader + 28 * answer.records.size());
  auto put32 = [&](std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) canonical.push_back(static_cast<std::uint8_t>(value >> shift));
  };
  put32(answer.start);
  canonical.push_back(static_cast<std::uint8_t>(answer.records.size()));
  canonical.push_back(answer.last ? kFlagLastBatch : 0);
  std::uint32_t index = answer.start;
  for (const CardRecordFields& r : answer.records) {
    put32(index++);
    for (std::int32_t field : {r.person, r.year, r.month, r.day, r.hour, r.minute}) put32(static_cast<std::uint32_t>(field));
  }
  return Crc32c(canonical);
}

std::vector<std::uint8_t> EncodeCheckedDense(const NextRecordsAnswer& answer) {
  std::vector<std::uint8_t> out = EncodeDense(answer);
  const std::uint32_t digest = DenseDigest(answer);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(digest >> shift));
  return out;
}

std::optional<NextRecordsAnswer> DecodeCheckedDenseAnswer(std::span<const std::uint8_t> payload) {
  if (payload.size() < kRecordBatchHeader + 1 + kDenseDigestSize) return std::nullopt;
  const std::size_t at = payload.size() - kDenseDigestSize;
  auto answer = DecodeDenseRecordsAnswer(payload.first(at));
  if (!answer) return std::nullopt;
  const std::uint32_t digest = static_cast<std::uint32_t>(payload[at]) | (static_cast<std::uint32_t>(payload[at + 1]) << 8) |
                               (static_cast<std::uint32_t>(payload[at + 2]) << 16) |
                               (static_cast<std::uint32_t>(payload[at + 3]) << 24);
  if (digest != DenseDigest(*answer)) return std::nullopt;  // the content is not what the terminal holds
  return answer;
}

NextRecordsAnswer PackDenseRecords(std::span<const CardRecordFields> all, const NextRecordsRequest& request,
                                   std::size_t maxPayload) {
  NextRecordsAnswer answer;
  answer.start = request.start;
  std::size_t size = kRecordBatchHeader + 1;
  std::size_t index = request.start;
  while (index < all.size() && answer.records.size() < request.maxCount) {
    const std::size_t next = DenseSizeByDifference(answer.records.empty() ? nullptr : &answer.records.back(), all[index]);
    if (size + next > maxPayload) break;
    size += next;
    answer.records.push_back(all[index]);
    ++index;
  }
  answer.last = index >= all.size();
  return answer;
}

bool IsValidClockTime(const ClockTime& t) {
  using namespace std::chrono;
  if (t.year < kFirstClockYear || t.year > kLastClockYear || t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour < 0 ||
      t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 59)
    return false;
  return year_month_day{year(t.year), month(static_cast<unsigned>(t.month)), day(static_cast<unsigned>(t.day))}.ok();
}

std::int64_t WallSeconds(const ClockTime& t) {
  using namespace std::chrono;
  const sys_days date{year(t.year) / month(static_cast<unsigned>(t.month)) / day(static_cast<unsigned>(t.day))};
  return date.time_since_epoch().count() * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

ClockTime FromWallSeconds(std::int64_t seconds) {
  using namespace std::chrono;
  std::int64_t days = seconds / 86400, inDay = seconds % 86400;
  if (inDay < 0) {
    inDay += 86400;
    --days;
  }
  const year_month_day date{sys_days(std::chrono::days(days))};
  return {static_cast<int>(date.year()),
          static_cast<std::int32_t>(static_cast<unsigned>(date.month())),
          static_cast<std::int32_t>(static_cast<unsigned>(date.day())),
          static_cast<std::int32_t>(inDay / 3600),
          static_cast<std::int32_t>(inDay / 60 % 60),
          static_cast<std::int32_t>(inDay % 60)};
}

std::vector<std::uint8_t> Encode(const ClockTime& t) {
  auto byte = [](std::int32_t value) {
    if (value < 0 || value > 255) throw std::invalid_argument("clock field outside 0..255");
    return static_cast<std::uint8_t>(value);
  };
  if (t.year < 0 || t.year > 0xFFFF) throw std::invalid_argument("clock year outside 0..65535");
  return {static_cast<std::uint8_t>(t.year & 0xFF), static_cast<std::uint8_t>(t.year >> 8), byte(t.month),
          byte(t.day),  byte(t.hour), byte(t.minute), byte(t.second)};
}

std::optional<ClockTime> DecodeClockTime(std::span<const std::uint8_t> payload) {
  if (payload.size() != kClockTimeSize) return std::nullopt;
  return DecodeClockAnswer(payload);
}

std::optional<ClockTime> DecodeClockAnswer(std::span<const std::uint8_t> payload) {
  if (payload.size() < kClockTimeSize) return std::nullopt;
  return ClockTime{payload[0] | (payload[1] << 8), payload[2], payload[3], payload[4], payload[5], payload[6]};
}

}  // namespace terminal::protocol
