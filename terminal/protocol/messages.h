// Payloads of the protocol's requests and answers, encoded and decoded the same way by the control
// and by the simulator. Multi-byte integers are little-endian. Decoders of requests (what a
// terminal receives) accept exactly the layout below; decoders of answers (what the host
// receives) accept at least the known fields and ignore bytes beyond them, which belong to a later
// protocol version. Both return std::nullopt for anything else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "terminal/contract/fk303id_contract.h"
#include "terminal/protocol/frame.h"
#include "terminal/protocol/records.h"

namespace terminal::protocol {

// Version 2 adds the terminal's identity, record capacity and log generation to the probe and
// begin-record-read answers, the generation to next-records requests, and clear-records.
// A version 1 terminal keeps working: every version 2 field is optional on the host side.
inline constexpr std::uint8_t kProtocolVersion = 2;
inline constexpr std::uint8_t kProtocolVersion1 = 1;
inline constexpr std::size_t kTemplateValues = fk303id::kTemplateValues;  // the control's contract
inline constexpr int kLastFingerprintEnrolment = 9;  // 0..9: fingerprints
inline constexpr int kPasswordEnrolment = 10;
// Answer header of next-records: start index (4), count (1), flags (1).
inline constexpr std::size_t kRecordBatchHeader = 6;
inline constexpr std::uint8_t kFlagLastBatch = 0x01;

using Template = std::array<std::int32_t, kTemplateValues>;

// The state of a terminal's record log (protocol version 2 on): its identity (a serial number
// it keeps for life, never 0), how many records it can hold, and the log generation, which
// changes whenever its records are cleared.
struct RecordLog {
  std::uint32_t identity = 0;
  std::uint32_t capacity = 0;
  std::uint32_t generation = 0;
  bool operator==(const RecordLog&) const = default;
};

// Probe answer: version (1), records held (4); from version 2 on also identity (4), record
// capacity (4) and log generation (4). Told apart by the version byte; a version above 2 is read
// as version 2 (its fields come first), bytes beyond the known fields are ignored.
struct ProbeAnswer {
  std::uint8_t version = kProtocolVersion;
  std::uint32_t recordCount = 0;
  RecordLog log;  // version 2 on
};
std::vector<std::uint8_t> Encode(const ProbeAnswer& answer);
std::optional<ProbeAnswer> DecodeProbeAnswer(std::span<const std::uint8_t> payload);

// Begin-record-read answer: records held when the read began (4); a version 2 terminal adds its
// log generation (4), identity (4) and record capacity (4) -- in that order, not the probe's.
// No version byte: 4..15 bytes are a version 1 answer, 16 or more a version 2 (or later) one.
inline constexpr std::size_t kBeginReadAnswerV2 = 16;
// A version 3 terminal adds its protocol version (3 or more) after them; a byte below 3 in that
// place is no version (the answer is version 2's and the byte is ignored).
struct BeginReadAnswer {
  std::uint32_t recordCount = 0;
  std::optional<RecordLog> log;  // absent: a version 1 terminal
  std::uint8_t version = 0;      // 3 on: sent (needs `log`); else 1 or 2 from the layout
  std::uint8_t Version() const { return version >= 3 ? version : log ? 2 : 1; }
};
std::vector<std::uint8_t> Encode(const BeginReadAnswer& answer);
std::optional<BeginReadAnswer> DecodeBeginReadAnswer(std::span<const std::uint8_t> payload);

// Next-records request: index of the first record wanted (4), most records wanted (1, 1..255);
// to a version 2 terminal optionally the log generation the host reads (4), which the terminal
// refuses with kRecordsChanged when its log has another one.
struct NextRecordsRequest {
  std::uint32_t start = 0;
  std::uint8_t maxCount = 1;
  std::optional<std::uint32_t> generation;
};
std::vector<std::uint8_t> Encode(const NextRecordsRequest& request);
std::optional<NextRecordsRequest> DecodeNextRecordsRequest(std::span<const std::uint8_t> payload);

// Next-records answer: start index (4, repeats the request's), count (1), flags (1; bit 0: no
// record follows this batch), then `count` records.
struct NextRecordsAnswer {
  std::uint32_t start = 0;
  bool last = false;
  std::vector<CardRecordFields> records;
};
std::vector<std::uint8_t> Encode(const NextRecordsAnswer& answer);
std::optional<NextRecordsAnswer> DecodeNextRecordsAnswer(std::span<const std::uint8_t> payload);
// The answer a terminal gives to `request` from its records: as many from `request.start` on as
// fit in `maxCount` and in the payload limit.
NextRecordsAnswer PackRecords(std::span<const CardRecordFields> all, const NextRecordsRequest& request,
                              std::size_t maxPayload = kMaxPayload);

// Clear-records request (version 2): the log generation (4) and the number of records (4) the
// host has read. The terminal refuses with kRecordsChanged unless both are its own; otherwise it
// deletes every record, moves to a new generation and answers it (4).
struct ClearRecordsRequest {
  std::uint32_t generation = 0;
  std::uint32_t count = 0;
};
std::vector<std::uint8_t> Encode(const ClearRecordsRequest& request);
std::optional<ClearRecordsRequest> DecodeClearRecordsRequest(std::span<const std::uint8_t> payload);
struct ClearRecordsAnswer {
  std::uint32_t generation = 0;
};
std::vector<std::uint8_t> Encode(const ClearRecordsAnswer& answer);
std::optional<ClearRecordsAnswer> DecodeClearRecordsAnswer(std::span<const std::uint8_t> payload);

// Person (4, the 32-bit pattern) and enrolment number (1).
struct EnrolmentKey {
  std::int32_t person = 0;
  std::uint8_t enrolment = 0;
  bool operator==(const EnrolmentKey&) const = default;
};

// Enrolment data follows the key: a fingerprint (enrolment 0..9) is 460 signed 32-bit values
// (1840 bytes), a password (enrolment 10) one signed 32-bit value.
struct EnrolmentData {
  EnrolmentKey key;
  Template fingerprint{};
  std::int32_t password = 0;
  bool IsPassword() const { return key.enrolment == kPasswordEnrolment; }
};
bool IsValidEnrolmentNumber(int enrolment);

std::vector<std::uint8_t> Encode(const EnrolmentKey& key);  // read-enrolment request
std::optional<EnrolmentKey> DecodeEnrolmentKey(std::span<const std::uint8_t> payload);
std::vector<std::uint8_t> Encode(const EnrolmentData& data);  // read answer, write request
std::optional<EnrolmentData> DecodeEnrolmentData(std::span<const std::uint8_t> payload);  // write request: exact
std::optional<EnrolmentData> DecodeEnrolmentAnswer(std::span<const std::uint8_t> payload);  // read answer
std::size_t EncodedEnrolmentSize(const EnrolmentData& data);

// Prepare-enrolment request: key, then one flag byte (the caller's third value, 0 or 1).
struct PrepareRequest {
  EnrolmentKey key;
  std::uint8_t flag = 1;
};
std::vector<std::uint8_t> Encode(const PrepareRequest& request);
std::optional<PrepareRequest> DecodePrepareRequest(std::span<const std::uint8_t> payload);

// Refusal (command FF): the refused command (1), the reason (1, RefusalCode).
struct Refusal {
  std::uint8_t command = 0;
  std::uint8_t code = 0;
};
std::vector<std::uint8_t> Encode(const Refusal& refusal);
std::optional<Refusal> DecodeRefusal(std::span<const std::uint8_t> payload);

}  // namespace terminal::protocol
