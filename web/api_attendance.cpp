#include "web/api_attendance.h"

#include <cstdint>
#include <optional>

#include "host/report/dates.h"
#include "present/report/date_options.h"

namespace vanto::web {
namespace {

using nlohmann::json;

// Field names of one object of a body: "kind", or "leave[2].kind" for an array's element.
struct Fields {
  const json& object;
  std::string prefix;  // "" or "leave[2]."

  std::string Name(const std::string& field) const { return prefix + field; }
  [[noreturn]] void Refuse(const std::string& field, const std::string& what) const {
    throw BodyFieldError{Name(field), "'" + Name(field) + "' must be " + what};
  }
  bool Has(const std::string& field) const { return object.contains(field) && !object[field].is_null(); }

  std::int32_t Person() const {
    if (!Has("person") || !object["person"].is_number_integer() || object["person"].get<std::int64_t>() < INT32_MIN ||
        object["person"].get<std::int64_t>() > INT32_MAX)
      Refuse("person", "a person number (a whole number)");
    return static_cast<std::int32_t>(object["person"].get<std::int64_t>());
  }
  std::string Text(const std::string& field, bool required, const std::string& what) const {
    if (!Has(field)) {
      if (required) Refuse(field, what);
      return "";
    }
    if (!object[field].is_string()) Refuse(field, what);
    return object[field].get<std::string>();
  }
  int Number(const std::string& field, int low, int high) const {
    if (!Has(field) || !object[field].is_number_integer() || object[field].get<std::int64_t>() < low ||
        object[field].get<std::int64_t>() > high)
      Refuse(field, "a whole number from " + std::to_string(low) + " to " + std::to_string(high));
    return static_cast<int>(object[field].get<std::int64_t>());
  }
  std::string Date(const std::string& field) const {
    const std::string text = Text(field, true, "a date, YYYY-MM-DD");
    try {
      report::ParseDate(text, field);
    } catch (const report::DateError&) {
      Refuse(field, "a date, YYYY-MM-DD (not '" + text + "')");
    }
    return text;
  }
  std::optional<int> Clock(const std::string& field) const {
    if (!Has(field)) return std::nullopt;
    const std::string text = Text(field, true, "a time of day, HH:MM");
    std::optional<int> minutes = MinutesOfClock(text);
    if (!minutes) Refuse(field, "a time of day, HH:MM (not '" + text + "')");
    return minutes;
  }
  // "YYYY-MM-DD HH:MM[:SS]" (or with a 'T'), answered as "YYYY-MM-DD HH:MM:SS".
  std::string WallTime(const std::string& field) const {
    const std::string what = "a time, YYYY-MM-DD HH:MM[:SS]";
    std::string t = Text(field, true, what);
    if (t.size() > 10 && t[10] == 'T') t[10] = ' ';
    if (t.size() == 16) t += ":00";
    static const std::string shape = "dddd-dd-dd dd:dd:dd";
    bool ok = t.size() == shape.size();
    for (std::size_t i = 0; ok && i < t.size(); ++i)
      ok = shape[i] == 'd' ? (t[i] >= '0' && t[i] <= '9') : t[i] == shape[i];
    if (!ok || !report::MinuteOfTimeText(t) || t.substr(17) > "59")
      Refuse(field, what + " naming a real date and time (not '" + object[field].get<std::string>() + "')");
    return t;
  }
};

attendance::Leave LeaveOf(const Fields& f) {
  if (!f.object.is_object()) throw BodyFieldError{f.prefix.empty() ? "body" : f.prefix.substr(0, f.prefix.size() - 1),
                                                  "each leave must be a JSON object"};
  attendance::Leave leave;
  leave.person = f.Person();
  leave.kind = f.Text("kind", true, "a leave kind (a text)");
  if (leave.kind.empty()) f.Refuse("kind", "a leave kind (a text)");
  leave.from = f.Date("from");
  leave.to = f.Has("to") ? f.Date("to") : leave.from;
  leave.part_start = f.Clock("part_start");
  leave.part_end = f.Clock("part_end");
  if (leave.part_start.has_value() != leave.part_end.has_value())
    f.Refuse(leave.part_start ? "part_end" : "part_start", "given with the other end of the part of the day");
  leave.note = f.Text("note", false, "a text");
  return leave;
}

void PutEntered(json& j, const attendance::Entered& e) {
  j["by"] = e.by;
  j["at"] = e.at;
  j["withdrawn"] = e.withdrawn();
  if (e.withdrawn()) {
    j["withdrawn_by"] = e.withdrawn_by.value_or("");
    j["withdrawn_at"] = *e.withdrawn_at;
  }
}

}  // namespace

std::string ClockOf(int minutes) { return report::ClockText(minutes); }

std::optional<int> MinutesOfClock(const std::string& text) {
  int hours = 0, minutes = 0;
  if (text.size() != 5 || text[2] != ':' || !report::Digits(text, 0, 2, &hours) || !report::Digits(text, 3, 2, &minutes) ||
      hours > 23 || minutes > 59)
    return std::nullopt;
  return hours * 60 + minutes;
}

attendance::Correction CorrectionFromJson(const json& body) {
  const Fields f{body, ""};
  attendance::Correction c;
  c.person = f.Person();
  const std::string kind = f.Text("kind", true, "\"add\" or \"set-aside\"");
  std::optional<attendance::CorrectionKind> k = attendance::CorrectionKindOf(kind);
  if (!k) f.Refuse("kind", "\"add\" or \"set-aside\" (not '" + kind + "')");
  c.kind = *k;
  c.time = f.WallTime("time");
  if (c.kind == attendance::CorrectionKind::kAdd) {
    const std::string direction = f.Text("direction", true, "\"in\" or \"out\" for an added swipe");
    std::optional<attendance::Direction> d = attendance::DirectionOf(direction);
    if (!d || *d == attendance::Direction::kUnknown)
      f.Refuse("direction", "\"in\" or \"out\" for an added swipe (not '" + direction + "')");
    c.direction = *d;
    // The terminal an added swipe is told as, when the client names one.
    if (f.Has("port")) c.port = f.Number("port", 1, 32767);
    if (f.Has("terminal")) c.terminal = f.Number("terminal", 1, 255);
  } else {
    c.port = f.Number("port", 1, 32767);
    c.terminal = f.Number("terminal", 1, 255);
  }
  c.reason = f.Text("reason", true, "a text saying why");
  return c;
}

std::vector<attendance::Leave> LeaveFromJson(const json& body) {
  std::vector<attendance::Leave> leave;
  if (body.is_array()) {
    if (body.empty() || body.size() > kMaxLeavePerRequest)
      throw BodyFieldError{"leave", "'leave' must list 1 to " + std::to_string(kMaxLeavePerRequest) + " leave"};
    for (std::size_t i = 0; i < body.size(); ++i) leave.push_back(LeaveOf({body[i], "leave[" + std::to_string(i) + "]."}));
  } else {
    leave.push_back(LeaveOf({body, ""}));
  }
  return leave;
}

json CorrectionJson(const attendance::Correction& c) {
  json j = {{"id", c.id},
            {"person", c.person},
            {"kind", attendance::CorrectionKindWord(c.kind)},
            {"time", c.time},
            {"reason", c.reason}};
  if (c.direction != attendance::Direction::kUnknown) j["direction"] = attendance::DirectionWord(c.direction);
  if (c.port) j["port"] = c.port;
  if (c.terminal) j["terminal"] = c.terminal;
  PutEntered(j, c.entered);
  return j;
}

json LeaveJson(const attendance::Leave& l) {
  json j = {{"id", l.id}, {"person", l.person}, {"kind", l.kind}, {"from", l.from}, {"to", l.to}, {"note", l.note}};
  if (l.part_start) j["part_start"] = ClockOf(*l.part_start);
  if (l.part_end) j["part_end"] = ClockOf(*l.part_end);
  PutEntered(j, l.entered);
  return j;
}

}  // namespace vanto::web
