#include "host/attendance/model.h"

#include <array>
#include <utility>

namespace vanto::attendance {

namespace {

template <typename Kind, std::size_t N>
std::optional<Kind> KindOf(const std::array<std::pair<Kind, const char*>, N>& words, const std::string& word) {
  for (const auto& [kind, text] : words)
    if (word == text) return kind;
  return std::nullopt;
}

template <typename Kind, std::size_t N>
const char* WordOf(const std::array<std::pair<Kind, const char*>, N>& words, Kind kind) {
  for (const auto& [k, text] : words)
    if (k == kind) return text;
  return "";
}

constexpr std::array<std::pair<PatternKind, const char*>, 2> kPatternKinds{{
    {PatternKind::kWeek, "week"}, {PatternKind::kRotation, "rotation"}}};
constexpr std::array<std::pair<TargetKind, const char*>, 2> kTargetKinds{{
    {TargetKind::kPerson, "person"}, {TargetKind::kDepartment, "department"}}};
constexpr std::array<std::pair<DayOffKind, const char*>, 2> kDayOffKinds{{
    {DayOffKind::kHoliday, "holiday"}, {DayOffKind::kRest, "rest"}}};
constexpr std::array<std::pair<CorrectionKind, const char*>, 2> kCorrectionKinds{{
    {CorrectionKind::kAdd, "add"}, {CorrectionKind::kSetAside, "set-aside"}}};
constexpr std::array<std::pair<Direction, const char*>, 3> kDirections{{
    {Direction::kUnknown, ""}, {Direction::kIn, "in"}, {Direction::kOut, "out"}}};

}  // namespace

const char* PatternKindWord(PatternKind kind) { return WordOf(kPatternKinds, kind); }
const char* TargetKindWord(TargetKind kind) { return WordOf(kTargetKinds, kind); }
const char* DayOffKindWord(DayOffKind kind) { return WordOf(kDayOffKinds, kind); }
const char* CorrectionKindWord(CorrectionKind kind) { return WordOf(kCorrectionKinds, kind); }
const char* DirectionWord(Direction direction) { return WordOf(kDirections, direction); }
std::optional<PatternKind> PatternKindOf(const std::string& word) { return KindOf(kPatternKinds, word); }
std::optional<TargetKind> TargetKindOf(const std::string& word) { return KindOf(kTargetKinds, word); }
std::optional<DayOffKind> DayOffKindOf(const std::string& word) { return KindOf(kDayOffKinds, word); }
std::optional<CorrectionKind> CorrectionKindOf(const std::string& word) { return KindOf(kCorrectionKinds, word); }
std::optional<Direction> DirectionOf(const std::string& word) { return KindOf(kDirections, word); }

}  // namespace vanto::attendance
