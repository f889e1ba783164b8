// Feeds arbitrary payloads straight to the message and record decoders (the frame fuzzer seldom
// gets past two checksums to reach them). The first byte picks the decoder; the rest is the
// payload. Whatever a decoder accepts must survive encoding and decoding again unchanged, and
// the record and varint decoders must take exactly the bytes their encoders write.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "terminal/protocol/messages.h"
#include "terminal/protocol/records.h"

using namespace terminal::protocol;

namespace {

// Encode(Decode(Encode(x))) == Encode(x) for a value a decoder accepted.
template <typename Value, typename Decoder>
void RoundTrip(const std::optional<Value>& value, Decoder decode) {
  if (!value) return;
  const std::vector<std::uint8_t> once = Encode(*value);
  const auto again = decode(once);
  if (!again || Encode(*again) != once) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::span<const std::uint8_t> payload(data + 1, size - 1);
  switch (data[0] % 10) {
    case 0: RoundTrip(DecodeProbeAnswer(payload), DecodeProbeAnswer); break;
    case 1: RoundTrip(DecodeBeginReadAnswer(payload), DecodeBeginReadAnswer); break;
    case 2: RoundTrip(DecodeNextRecordsRequest(payload), DecodeNextRecordsRequest); break;
    case 3: {
      const auto answer = DecodeNextRecordsAnswer(payload);
      if (!answer) break;
      // A terminal may send the raw form where the compact one would do; the values count.
      const auto back = DecodeNextRecordsAnswer(Encode(*answer));
      if (!back || back->records != answer->records || back->start != answer->start || back->last != answer->last)
        std::abort();
      break;
    }
    case 4: RoundTrip(DecodeEnrolmentKey(payload), DecodeEnrolmentKey); break;
    case 5:
      RoundTrip(DecodeEnrolmentData(payload), DecodeEnrolmentData);
      RoundTrip(DecodeEnrolmentAnswer(payload), DecodeEnrolmentAnswer);
      break;
    case 6: RoundTrip(DecodePrepareRequest(payload), DecodePrepareRequest); break;
    case 7: RoundTrip(DecodeRefusal(payload), DecodeRefusal); break;
    case 8: {  // a run of records, as a batch carries them
      std::span<const std::uint8_t> rest = payload;
      for (;;) {
        CardRecordFields record;
        const std::size_t took = DecodeRecord(rest, record);
        if (took == 0) break;
        if (took > rest.size() || took > kMaxRecordSize) std::abort();
        std::vector<std::uint8_t> again;
        AppendRecord(record, again);
        CardRecordFields back;
        if (again.size() != EncodedRecordSize(record) || DecodeRecord(again, back) != again.size() || !(back == record))
          std::abort();
        rest = rest.subspan(took);
      }
      break;
    }
    case 9: {
      std::uint32_t value = 0;
      const std::size_t took = DecodeVarint(payload, value);
      if (took == 0) break;
      std::vector<std::uint8_t> again;
      AppendVarint(value, again);
      // Overlong forms are refused, so the bytes taken are the encoder's own.
      if (again.size() != took || VarintSize(value) != took ||
          !std::equal(again.begin(), again.end(), payload.begin()))
        std::abort();
      break;
    }
  }
  return 0;
}
