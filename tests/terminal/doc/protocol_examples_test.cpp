// The protocol document's own examples, checked against the protocol code and the simulator, so
// docs/protocol.md cannot drift from what the control and a terminal do.
//
// The document carries its examples as fenced blocks whose info string starts with `frame`:
//
//   ```frame KIND key=value ...
//   A5 5A 01 81 01 05 00      # comment
//   ...
//   ```
//
// Every line holds whole bytes as two hex digits (a `#` starts a comment); together they are one
// whole frame. KIND names the message (probe-request, dense-answer, refusal, ...) and the
// key=value pairs its fields (a checked dense answer names its digest too). Each example must
// parse as exactly one undamaged frame of KIND's command, decode to exactly its fields, and
// encode from them to the same bytes. A request followed by an answer of the same terminal and
// sequence number is an exchange: the request is sent to the simulator, serving the site of the
// document's one `seed` block, in document order, and its answer must be the example's byte for
// byte.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "terminal/protocol/dense.h"
#include "terminal/protocol/frame_parser.h"
#include "terminal/protocol/messages.h"
#include "terminal/serial/serial_port.h"
#include "terminal/sim/simulator.h"

namespace terminal::protocol {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

struct Example {
  int line = 0;  // of the opening fence
  std::string kind;
  std::map<std::string, std::string> fields;
  Bytes bytes;
};

struct Document {
  std::vector<Example> examples;
  std::vector<std::string> seeds;
  std::vector<std::string> errors;
};

bool HexByte(const std::string& token, std::uint8_t& out) {
  if (token.size() != 2 || !std::isxdigit(static_cast<unsigned char>(token[0])) ||
      !std::isxdigit(static_cast<unsigned char>(token[1])))
    return false;
  out = static_cast<std::uint8_t>(std::stoul(token, nullptr, 16));
  return true;
}

Document ReadDocument(std::istream& in) {
  Document doc;
  std::string text;
  int number = 0;
  enum { kOutside, kFrame, kSeed, kOther } state = kOutside;
  while (std::getline(in, text)) {
    ++number;
    const bool fence = text.rfind("```", 0) == 0;
    if (state != kOutside) {
      if (fence) {
        state = kOutside;
      } else if (state == kSeed) {
        doc.seeds.back() += text + "\n";
      } else if (state == kFrame) {
        std::istringstream line(text.substr(0, text.find('#')));
        for (std::string token; line >> token;) {
          std::uint8_t byte = 0;
          if (!HexByte(token, byte))
            doc.errors.push_back("line " + std::to_string(number) + ": '" + token + "' is not a byte in hex");
          doc.examples.back().bytes.push_back(byte);
        }
      }
      continue;
    }
    if (!fence) continue;
    std::istringstream info(text.substr(3));
    std::string tag;
    info >> tag;
    if (tag == "seed") {
      state = kSeed;
      doc.seeds.emplace_back();
    } else if (tag == "frame") {
      state = kFrame;
      Example example;
      example.line = number;
      info >> example.kind;
      for (std::string pair; info >> pair;) {
        const auto equals = pair.find('=');
        if (equals == std::string::npos || !example.fields.emplace(pair.substr(0, equals), pair.substr(equals + 1)).second)
          doc.errors.push_back("line " + std::to_string(number) + ": '" + pair + "' is no new key=value");
      }
      doc.examples.push_back(std::move(example));
    } else {
      state = kOther;
    }
  }
  return doc;
}

// The fields of one example, each to be used exactly once.
class Fields {
 public:
  explicit Fields(const std::map<std::string, std::string>& fields) : fields_(fields) {}
  bool Has(const std::string& key) const { return fields_.contains(key); }
  std::string Text(const std::string& key) {
    used_.insert(key);
    const auto found = fields_.find(key);
    if (found == fields_.end()) throw std::invalid_argument("no field " + key);
    return found->second;
  }
  long long Number(const std::string& key) {
    const std::string text = Text(key);
    std::size_t end = 0;
    const long long value = std::stoll(text, &end, 0);
    if (end != text.size()) throw std::invalid_argument(key + "=" + text + " is not a number");
    return value;
  }
  std::uint32_t U32(const std::string& key) { return static_cast<std::uint32_t>(Number(key)); }
  std::optional<std::uint32_t> OptionalU32(const std::string& key) {
    return Has(key) ? std::optional(U32(key)) : std::nullopt;
  }
  std::vector<CardRecordFields> Records(const std::string& key) {
    std::vector<CardRecordFields> records;
    std::istringstream list(Text(key));
    for (std::string item; std::getline(list, item, ',');) {
      CardRecordFields r;
      int used = 0;
      if (std::sscanf(item.c_str(), "%d@%d-%d-%dT%d:%d%n", &r.person, &r.year, &r.month, &r.day, &r.hour, &r.minute,
                      &used) != 6 ||
          used != static_cast<int>(item.size()))
        throw std::invalid_argument("record '" + item + "' is not PERSON@YYYY-MM-DDTHH:MM");
      records.push_back(r);
    }
    return records;
  }
  ClockTime Time(const std::string& key) {
    ClockTime t;
    const std::string text = Text(key);
    int used = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d%n", &t.year, &t.month, &t.day, &t.hour, &t.minute, &t.second,
                    &used) != 6 ||
        used != static_cast<int>(text.size()))
      throw std::invalid_argument(key + "=" + text + " is not YYYY-MM-DDTHH:MM:SS");
    return t;
  }
  // Keys given but never asked for (a misspelt or superfluous field).
  std::string Unused() const {
    std::string unused;
    for (const auto& [key, value] : fields_)
      if (!used_.contains(key)) unused += " " + key;
    return unused;
  }

 private:
  const std::map<std::string, std::string>& fields_;
  std::set<std::string> used_;
};

// One message kind: the command byte of its frames, and how its payload decodes. `check` decodes
// the payload, compares it with the fields, and returns the payload encoded from the fields (or
// throws, naming what differs).
struct Kind {
  std::uint8_t command;
  std::function<Bytes(const Bytes& payload, Fields& fields)> check;
};

void Expect(bool same, const std::string& what) {
  if (!same) throw std::runtime_error(what + " decodes to another value than the example's field");
}

template <typename T>
T Decoded(const std::optional<T>& value, const char* what) {
  if (!value) throw std::runtime_error(std::string("the payload does not decode as ") + what);
  return *value;
}

Bytes Empty(const Bytes& payload, Fields&) {
  Expect(payload.empty(), "an empty payload");
  return {};
}

Bytes CheckNextRequest(const Bytes& payload, Fields& f) {
  const auto got = Decoded(DecodeNextRecordsRequest(payload), "a next-records request");
  const NextRecordsRequest want{f.U32("start"), static_cast<std::uint8_t>(f.Number("max")), f.OptionalU32("generation")};
  Expect(got.start == want.start && got.maxCount == want.maxCount && got.generation == want.generation, "the request");
  return Encode(want);
}

const std::map<std::string, Kind>& Kinds() {
  static const std::map<std::string, Kind> kinds = {
      {"probe-request", {0x01, Empty}},
      {"probe-answer",
       {0x81,
        [](const Bytes& payload, Fields& f) {
          const auto got = Decoded(DecodeProbeAnswer(payload), "a probe answer");
          ProbeAnswer want{static_cast<std::uint8_t>(f.Number("version")), f.U32("held"), {}};
          if (want.version >= 2) want.log = {f.U32("identity"), f.U32("capacity"), f.U32("generation")};
          Expect(got.version == want.version && got.recordCount == want.recordCount && got.log == want.log,
                 "the probe answer");
          return Encode(want);
        }}},
      {"begin-request", {0x02, Empty}},
      {"begin-answer",
       {0x82,
        [](const Bytes& payload, Fields& f) {
          const auto got = Decoded(DecodeBeginReadAnswer(payload), "a begin-record-read answer");
          BeginReadAnswer want{f.U32("held"), std::nullopt};
          if (f.Has("generation")) want.log = RecordLog{f.U32("identity"), f.U32("capacity"), f.U32("generation")};
          if (f.Has("version")) want.version = static_cast<std::uint8_t>(f.Number("version"));
          Expect(got.recordCount == want.recordCount && got.log == want.log && got.Version() == want.Version(),
                 "the begin answer");
          return Encode(want);
        }}},
      {"next-request", {0x03, CheckNextRequest}},
      {"next-answer",
       {0x83,
        [](const Bytes& payload, Fields& f) {
          const auto got = Decoded(DecodeNextRecordsAnswer(payload), "a next-records answer");
          const NextRecordsAnswer want{f.U32("start"), f.Number("last") != 0, f.Records("records")};
          Expect(got.start == want.start && got.last == want.last && got.records == want.records, "the batch");
          return Encode(want);
        }}},
      {"dense-request", {0x08, CheckNextRequest}},
      {"dense-answer",
       {0x88,
        [](const Bytes& payload, Fields& f) {
          const auto got = Decoded(DecodeDenseRecordsAnswer(payload), "a dense next-records answer");
          const NextRecordsAnswer want{f.U32("start"), f.Number("last") != 0, f.Records("records")};
          Expect(got.start == want.start && got.last == want.last && got.records == want.records, "the dense batch");
          return EncodeDense(want, static_cast<PersonCoding>(f.Number("coding")));
        }}},
      {"checked-request", {0x0B, CheckNextRequest}},
      {"checked-answer",
       {0x8B,
        [](const Bytes& payload, Fields& f) {
          // Decoding checks the digest against the records; the field must name the same digest.
          const auto got = Decoded(DecodeCheckedDenseAnswer(payload), "a checked dense answer with its records' digest");
          const NextRecordsAnswer want{f.U32("start"), f.Number("last") != 0, f.Records("records")};
          Expect(got.start == want.start && got.last == want.last && got.records == want.records, "the checked batch");
          const std::uint32_t digest = f.U32("digest");
          Expect(DenseDigest(want) == digest, "the digest");
          Bytes encoded = EncodeDense(want, static_cast<PersonCoding>(f.Number("coding")));
          for (int shift = 0; shift < 32; shift += 8) encoded.push_back(static_cast<std::uint8_t>(digest >> shift));
          return encoded;
        }}},
      {"read-enrolment-request",
       {0x04,
        [](const Bytes& payload, Fields& f) {
          const EnrolmentKey want{static_cast<std::int32_t>(f.Number("person")),
                                  static_cast<std::uint8_t>(f.Number("enrolment"))};
          // An enrolment number beyond 10 is no key a terminal takes (it refuses it with 7).
          const auto got = DecodeEnrolmentKey(payload);
          Expect(IsValidEnrolmentNumber(want.enrolment) ? got == want : !got, "the enrolment key");
          return Encode(want);
        }}},
      {"read-enrolment-answer",
       {0x84,
        [](const Bytes& payload, Fields& f) {
          const auto got = Decoded(DecodeEnrolmentAnswer(payload), "a read-enrolment answer");
          EnrolmentData want;
          want.key = {static_cast<std::int32_t>(f.Number("person")), static_cast<std::uint8_t>(f.Number("enrolment"))};
          want.password = static_cast<std::int32_t>(f.Number("password"));
          Expect(got.key == want.key && got.IsPassword() && got.password == want.password, "the enrolment");
          return Encode(want);
        }}},
      {"prepare-request",
       {0x05,
        [](const Bytes& payload, Fields& f) {
          const auto got = Decoded(DecodePrepareRequest(payload), "a prepare-enrolment request");
          const PrepareRequest want{
              {static_cast<std::int32_t>(f.Number("person")), static_cast<std::uint8_t>(f.Number("enrolment"))},
              static_cast<std::uint8_t>(f.Number("flag"))};
          Expect(got.key == want.key && got.flag == want.flag, "the prepare request");
          return Encode(want);
        }}},
      {"prepare-answer", {0x85, Empty}},
      {"write-enrolment-request",
       {0x06,
        [](const Bytes& payload, Fields& f) {
          const auto got = Decoded(DecodeEnrolmentData(payload), "a write-enrolment request");
          EnrolmentData want;
          want.key = {static_cast<std::int32_t>(f.Number("person")), static_cast<std::uint8_t>(f.Number("enrolment"))};
          want.password = static_cast<std::int32_t>(f.Number("password"));
          Expect(got.key == want.key && got.IsPassword() && got.password == want.password, "the enrolment");
          return Encode(want);
        }}},
      {"write-enrolment-answer", {0x86, Empty}},
      {"clear-request",
       {0x07,
        [](const Bytes& payload, Fields& f) {
          const auto got = Decoded(DecodeClearRecordsRequest(payload), "a clear-records request");
          const ClearRecordsRequest want{f.U32("generation"), f.U32("count")};
          Expect(got.generation == want.generation && got.count == want.count, "the clear request");
          return Encode(want);
        }}},
      {"clear-answer",
       {0x87,
        [](const Bytes& payload, Fields& f) {
          const auto got = Decoded(DecodeClearRecordsAnswer(payload), "a clear-records answer");
          Expect(got.generation == f.U32("generation"), "the new generation");
          return Encode(got);
        }}},
      {"read-clock-request", {0x09, Empty}},
      {"read-clock-answer",
       {0x89,
        [](const Bytes& payload, Fields& f) {
          const ClockTime want = f.Time("time");
          Expect(DecodeClockTime(payload) == want, "the clock");
          return Encode(want);
        }}},
      {"set-clock-request",
       {0x0A,
        [](const Bytes& payload, Fields& f) {
          const ClockTime want = f.Time("time");
          Expect(DecodeClockTime(payload) == want, "the clock");
          return Encode(want);
        }}},
      {"set-clock-answer", {0x8A, Empty}},
      {"refusal",
       {kRefusal,
        [](const Bytes& payload, Fields& f) {
          const auto got = Decoded(DecodeRefusal(payload), "a refusal");
          const Refusal want{static_cast<std::uint8_t>(f.Number("command")), static_cast<std::uint8_t>(f.Number("code"))};
          Expect(got.command == want.command && got.code == want.code, "the refusal");
          return Encode(want);
        }}},
  };
  return kinds;
}

// What is wrong with one example on its own (empty: nothing); `frame` gets its frame.
std::string CheckExample(const Example& example, Frame& frame) {
  const auto kind = Kinds().find(example.kind);
  if (kind == Kinds().end()) return "unknown kind '" + example.kind + "'";
  FrameParser parser;
  parser.Feed(example.bytes);
  auto parsed = parser.Next();
  if (!parsed || parser.Next() || parser.HoldsPartialFrame() || parser.SawDamage())
    return "the bytes are not exactly one undamaged frame";
  frame = *parsed;
  if (EncodeFrame(frame) != example.bytes) return "the frame encodes to other bytes";
  if (frame.command != kind->second.command) return "the command byte is not " + example.kind + "'s";
  Fields fields(example.fields);
  try {
    if (kind->second.check(frame.payload, fields) != frame.payload) return "the fields encode to another payload";
  } catch (const std::exception& error) {
    return error.what();
  }
  if (const std::string unused = fields.Unused(); !unused.empty()) return "fields not part of the message:" + unused;
  return {};
}

Document TheDocument() {
  std::ifstream in(VANTO_PROTOCOL_DOC);
  if (!in) ADD_FAILURE() << "cannot read " << VANTO_PROTOCOL_DOC;
  return ReadDocument(in);
}

TEST(ProtocolDocument, EveryExampleParsesDecodesAndEncodesToItsOwnBytes) {
  const Document doc = TheDocument();
  for (const std::string& error : doc.errors) ADD_FAILURE() << error;
  ASSERT_GE(doc.examples.size(), 40u);
  for (const Example& example : doc.examples) {
    Frame frame;
    EXPECT_EQ(CheckExample(example, frame), "") << "the example at docs/protocol.md:" << example.line;
  }
}

TEST(ProtocolDocument, ShowsEveryCommandAndAnswerOfEveryVersion) {
  const Document doc = TheDocument();
  std::set<std::string> kinds, versions, refusals, refused;
  for (const Example& example : doc.examples) {
    kinds.insert(example.kind);
    if (example.kind == "probe-answer") versions.insert("probe " + example.fields.at("version"));
    if (example.kind == "begin-answer")
      versions.insert("begin " + (example.fields.contains("version") ? example.fields.at("version")
                                  : example.fields.contains("generation") ? "2"
                                                                          : "1"));
    if (example.kind == "refusal") {
      refusals.insert(example.fields.at("code"));
      refused.insert(example.fields.at("command") + "/" + example.fields.at("code"));
    }
  }
  for (const auto& [kind, unused] : Kinds()) EXPECT_TRUE(kinds.contains(kind)) << "no example of " << kind;
  for (const char* version : {"1", "2", "3", "4"}) {
    EXPECT_TRUE(versions.contains(std::string("probe ") + version)) << "no version " << version << " probe answer";
    EXPECT_TRUE(versions.contains(std::string("begin ") + version)) << "no version " << version << " begin answer";
  }
  for (int code = 1; code <= 10; ++code)
    EXPECT_TRUE(refusals.contains(std::to_string(code))) << "no example of refusal " << code;
  EXPECT_TRUE(refused.contains("11/1")) << "no example of a terminal before version 4 refusing 0B";
}

// Sends `request` over `port` and waits, bounded, for the first frame back.
std::optional<Frame> Ask(line::Line& port, const Bytes& request) {
  port.FlushInput();
  port.Write(request, serial::Clock::now() + 2s);
  FrameParser parser;
  std::array<std::uint8_t, 512> buffer{};
  const auto deadline = serial::Clock::now() + 5s;
  while (serial::Clock::now() < deadline) {
    const std::size_t got = port.ReadSome(buffer, deadline);
    if (got == 0) break;
    parser.Feed(std::span(buffer.data(), got));
    if (auto frame = parser.Next()) return frame;
  }
  return std::nullopt;
}

TEST(ProtocolDocument, TheSimulatorAnswersEachExampleRequestWithTheExampleAnswer) {
  const Document doc = TheDocument();
  ASSERT_EQ(doc.seeds.size(), 1u) << "the document has one seed block: the site of its examples";
  sim::SimulatorSite site;
  std::istringstream seed(doc.seeds.front());
  site.LoadSeed(seed, "docs/protocol.md seed");
  site.Options().pace = false;
  site.Options().turnaround = 0us;
  // The clocks stand still: a clock set in one example reads back the same in the next.
  const auto now = std::chrono::system_clock::time_point(std::chrono::sys_days(std::chrono::year(2026) / 12 / 8));
  site.Options().now = [now] { return now; };
  const auto paths = site.Start();
  ASSERT_EQ(paths.size(), 1u);
  serial::SerialPort port(paths.begin()->second, 115200);
  std::size_t exchanges = 0;
  for (std::size_t i = 0; i < doc.examples.size(); ++i) {
    const Example& example = doc.examples[i];
    Frame request, answer;
    if (!CheckExample(example, request).empty() || !IsRequest(request.command)) continue;  // reported above
    const bool paired = i + 1 < doc.examples.size() && CheckExample(doc.examples[i + 1], answer).empty() &&
                        !IsRequest(answer.command) && answer.address == request.address &&
                        answer.sequence == request.sequence;
    if (!paired) {
      ADD_FAILURE() << "the request at docs/protocol.md:" << example.line << " is not followed by its answer";
      continue;
    }
    const auto got = Ask(port, example.bytes);
    ASSERT_TRUE(got) << "no answer to the request at docs/protocol.md:" << example.line;
    EXPECT_EQ(EncodeFrame(*got), doc.examples[i + 1].bytes)
        << "the simulator answers the request at docs/protocol.md:" << example.line << " otherwise";
    ++exchanges;
    ++i;
  }
  EXPECT_GE(exchanges, 30u);
}

// The document states the timeline's last place twice (the dense form's text and the rules); both
// must be the place of 2127-12-31 23:59 in the calendar the code keeps (2100 is no leap year), and
// a difference may reach that place but not the one after it.
TEST(ProtocolDocument, TheTimelineEndsWhereTheDocumentSays) {
  std::ifstream in(VANTO_PROTOCOL_DOC);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::int64_t last = TimelineMinutes({0, 2127, 12, 31, 23, 59}).value();
  std::string number = std::to_string(last);
  for (int at = static_cast<int>(number.size()) - 3; at > 0; at -= 3) number.insert(static_cast<std::size_t>(at), ",");
  EXPECT_NE(text.find("0 .. " + number + ":"), std::string::npos) << "the dense form's text does not end at " << number;
  EXPECT_NE(text.find("(place " + number + ")"), std::string::npos) << "the rules do not end at " << number;
  struct Case {
    CardRecordFields record;
    bool on;
  } cases[] = {
      {{0, 2000, 1, 1, 0, 0}, true},    {{0, 2000, 2, 29, 12, 0}, true},  {{0, 2100, 2, 29, 12, 0}, false},
      {{0, 2124, 2, 29, 12, 0}, true},  {{0, 2127, 12, 31, 23, 59}, true}, {{0, 2128, 1, 1, 0, 0}, false},
      {{0, 1999, 12, 31, 23, 59}, false},
  };
  for (const Case& c : cases) EXPECT_EQ(TimelineMinutes(c.record).has_value(), c.on) << c.record.year << "-" << c.record.month;
  EXPECT_EQ(*TimelineMinutes({0, 2100, 3, 1, 0, 0}) - *TimelineMinutes({0, 2100, 2, 28, 0, 0}), 1440);
  // A batch of 2127-12-31 23:58 and a difference of +1 (t 1) decodes; +2 (t 2, zig-zag 4) leaves the timeline.
  Bytes batch = {0, 0, 0, 0, 2, 1, 0, 3};
  AppendRecord({1, 2127, 12, 31, 23, 58}, batch);
  Bytes onEnd = batch, beyond = batch;
  onEnd.push_back(0x01);
  beyond.insert(beyond.end(), {0x02, 0x04});
  const auto decoded = DecodeDenseRecordsAnswer(onEnd);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->records.back(), (CardRecordFields{1, 2127, 12, 31, 23, 59}));
  EXPECT_FALSE(DecodeDenseRecordsAnswer(beyond));
}

TEST(ProtocolDocument, TheExampleReaderRefusesWhatIsNoExample) {
  // A sharp check needs a reader that notices mistakes: a stray word among the bytes, a field
  // given twice, a field the message has not, a value that differs from the bytes.
  const std::string probe = "A5 5A 01 81 01 05 00 6F 01 02 00 00 00 F9 88";
  // An empty last checked batch from 44: its digest F246C66C, then the same with the digest's
  // first byte off by one (the frame's CRC made right again), which no batch has.
  const std::string checked = "```frame checked-answer start=44 last=1 coding=0 records= digest=";
  const std::string empty = "A5 5A 05 8B 27 0B 00 94 2C 00 00 00 00 01 00 6C C6 46 F2 80 C2";
  const std::string offDigest = "A5 5A 05 8B 27 0B 00 94 2C 00 00 00 00 01 00 6D C6 46 F2 F6 76";
  struct Case {
    std::string block;
    bool readable;   // the reader takes it
    bool checks;     // and the example holds
  } cases[] = {
      {"```frame probe-answer version=1 held=2\n" + probe + "  # comment\n```\n", true, true},
      {"```frame probe-answer version=1 held=2\n" + probe + " ZZ\n```\n", false, false},
      {"```frame probe-answer version=1 version=1 held=2\n" + probe + "\n```\n", false, true},
      {"```frame probe-answer version=1 held=2 colour=red\n" + probe + "\n```\n", true, false},
      {"```frame probe-answer version=1 held=3\n" + probe + "\n```\n", true, false},
      {"```frame begin-answer held=2\n" + probe + "\n```\n", true, false},
      {"```frame probe-answer version=1 held=2\nA5 5A 01 81 01 05 00 6F 01 02 00 00 00 F9 89\n```\n", true, false},
      {checked + "0xF246C66C\n" + empty + "\n```\n", true, true},
      {checked + "0xF246C66D\n" + empty + "\n```\n", true, false},
      {checked + "0xF246C66D\n" + offDigest + "\n```\n", true, false},
      {checked + "0xF246C66C\n" + offDigest + "\n```\n", true, false},
      {"```frame checked-answer start=44 last=1 coding=0 records=\n" + empty + "\n```\n", true, false},
  };
  for (const Case& c : cases) {
    std::istringstream in(c.block);
    const Document doc = ReadDocument(in);
    EXPECT_EQ(doc.errors.empty(), c.readable) << c.block;
    ASSERT_EQ(doc.examples.size(), 1u) << c.block;
    Frame frame;
    EXPECT_EQ(CheckExample(doc.examples.front(), frame).empty(), c.checks) << c.block;
  }
}

}  // namespace
}  // namespace terminal::protocol
