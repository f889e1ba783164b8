#include "host/said_values.h"

#include <nlohmann/json.hpp>

namespace vanto::host {
namespace {

constexpr std::string_view kSaid = "_said";
// Deeper than any message the host builds; a stored text nested deeper is no message of ours.
constexpr int kDeepest = 16;

nlohmann::json Encode(const Message& message) {
  nlohmann::json values = nlohmann::json::array();
  for (const Message& v : message.values()) values.push_back(Encode(v));
  nlohmann::json j = {{"t", message.text()}};
  if (message.translated()) j["m"] = true;
  if (!values.empty()) j["v"] = std::move(values);
  return j;
}

std::optional<Message> Decode(const nlohmann::json& j, int depth) {
  if (depth > kDeepest || !j.is_object()) return std::nullopt;
  const auto text = j.find("t");
  if (text == j.end() || !text->is_string()) return std::nullopt;
  const auto translated = j.find("m");
  if (translated != j.end() && !translated->is_boolean()) return std::nullopt;
  std::vector<Message> values;
  if (const auto v = j.find("v"); v != j.end()) {
    if (!v->is_array()) return std::nullopt;
    for (const nlohmann::json& each : *v) {
      std::optional<Message> value = Decode(each, depth + 1);
      if (!value) return std::nullopt;
      values.push_back(std::move(*value));
    }
  }
  return Message::Of(text->get<std::string>(), translated != j.end() && translated->get<bool>(), std::move(values));
}

bool AnyTranslated(const Message& message) {
  if (message.translated()) return true;
  for (const Message& v : message.values())
    if (AnyTranslated(v)) return true;
  return false;
}

}  // namespace

std::string MessageCode(const Message& message) { return Encode(message).dump(); }

std::optional<Message> MessageFromCode(std::string_view code) {
  const nlohmann::json j = nlohmann::json::parse(code, nullptr, false);
  if (j.is_discarded()) return std::nullopt;
  return Decode(j, 0);
}

void AddErrorValue(NamedValues& values, const std::string& name, const Message& message) {
  values.emplace_back(name, message.English());
  if (AnyTranslated(message)) values.emplace_back(name + std::string(kSaid), MessageCode(message));
}

void AddErrorValue(NamedValues& values, const std::string& name, const std::exception& e) {
  AddErrorValue(values, name, MessageOf(e));
}

NamedValues WithError(NamedValues values, const std::exception& e) {
  AddErrorValue(values, "error", e);
  return values;
}

Message ErrorValue(const NamedValues& values, const std::string& name) {
  const std::string said = name + std::string(kSaid);
  for (const auto& [key, value] : values)
    if (key == said)
      if (std::optional<Message> message = MessageFromCode(value)) return std::move(*message);
  for (const auto& [key, value] : values)
    if (key == name) return Message::Verbatim(value);
  return Message::Verbatim("");
}

bool IsSaidValue(std::string_view name) {
  return name.size() > kSaid.size() && name.substr(name.size() - kSaid.size()) == kSaid;
}

}  // namespace vanto::host
