// A message the host says without putting it into words: the English text, which is the
// catalogue's key (a msgid, marked for xgettext by the name `Message` itself), and the values
// that fill its {0}, {1}, ... A value is a text said as it is, or a message of its own (the text
// of another error), which the front end translates too. The host throws and returns these; only
// the front ends (through the catalogue) translate them; English() is the sentence for logs.
#pragma once

#include <cstddef>
#include <exception>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace vanto::host {

class Message {
 public:
  class Value;

  Message() = default;
  // The catalogue's message `english` with its values in the order of their numbers.
  explicit Message(const char* english, std::initializer_list<Value> values = {});

  // A text said as it is, never looked up in the catalogue (a path, a server's own words).
  static Message Verbatim(std::string text) {
    Message m;
    m.text_ = std::move(text);
    return m;
  }
  // The parts one after another, each said as it is or translated as it is a message.
  static Message Join(std::initializer_list<Value> parts);
  // A message from its parts as text(), translated() and values() give them (one read back).
  static Message Of(std::string text, bool translated, std::vector<Message> values) {
    Message m;
    m.text_ = std::move(text);
    m.translated_ = translated;
    m.values_ = std::move(values);
    return m;
  }

  // The template: the msgid of a catalogue message, else the verbatim text or the join's slots.
  const std::string& text() const { return text_; }
  bool translated() const { return translated_; }
  const std::vector<Message>& values() const { return values_; }

  // The message in English: its text filled with its values, each value in English.
  std::string English() const;

 private:
  std::string text_;
  bool translated_ = false;
  std::vector<Message> values_;
};

// A message's value: text said as it is, or a message translated in its turn.
class Message::Value {
 public:
  Value(std::string text) : message_(Message::Verbatim(std::move(text))) {}  // NOLINT: a value is written as text
  Value(const char* text) : message_(Message::Verbatim(text)) {}             // NOLINT
  Value(Message message) : message_(std::move(message)) {}                   // NOLINT

 private:
  friend class Message;
  Message message_;
};

// `text` with {0}, {1}, ... replaced by `args` in order of their numbers; a number without a
// value, and any other brace, stay as they are.
inline std::string FillIn(const std::string& text, const std::vector<std::string>& args) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '{') {
      std::size_t end = i + 1, n = 0;
      while (end < text.size() && end < i + 4 && text[end] >= '0' && text[end] <= '9')
        n = n * 10 + static_cast<std::size_t>(text[end++] - '0');
      if (end > i + 1 && end < text.size() && text[end] == '}' && n < args.size()) {
        out += args[n];
        i = end;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

inline Message::Message(const char* english, std::initializer_list<Value> values) : text_(english), translated_(true) {
  values_.reserve(values.size());
  for (const Value& v : values) values_.push_back(v.message_);
}

inline Message Message::Join(std::initializer_list<Value> parts) {
  Message m;
  for (const Value& part : parts) {
    m.text_ += "{" + std::to_string(m.values_.size()) + "}";
    m.values_.push_back(part.message_);
  }
  return m;
}

inline std::string Message::English() const {
  if (values_.empty()) return text_;
  std::vector<std::string> filled;
  filled.reserve(values_.size());
  for (const Message& v : values_) filled.push_back(v.English());
  return FillIn(text_, filled);
}

// The part of an error that carries its message unworded (the host's errors derive from it beside
// their standard class), so that a front end finds the message on any exception.
class CarriesMessage {
 public:
  explicit CarriesMessage(Message message) : message_(std::move(message)) {}
  virtual ~CarriesMessage() = default;
  const Message& message() const { return message_; }

 private:
  Message message_;
};

// The message `e` carries, else its what() said as it is: how one error's text becomes a value
// of another's message and is still translated.
inline Message MessageOf(const std::exception& e) {
  if (const auto* carried = dynamic_cast<const CarriesMessage*>(&e)) return carried->message();
  return Message::Verbatim(e.what());
}

}  // namespace vanto::host
