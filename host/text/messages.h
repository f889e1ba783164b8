// The host's own messages in the user's language (gettext, text domain "vanto"): English as
// written here, Simplified Chinese from po/zh_CN.po under a zh_CN locale. The driver's and the
// control's texts are passed on as they are, never through here.
#pragma once

#include <initializer_list>
#include <string>

#include "host/message.h"

namespace vanto::host {

// The translation of `english` (itself when there is none or no catalogue was set up).
const char* Tr(const char* english);

// The form of a message that counts `n` things, in the user's language: `singular` or `plural`
// in English, the catalogue's form for `n` in another language.
const char* TrN(const char* singular, const char* plural, unsigned long n);

// Marks a text as the host's message, translated where it is shown (Tr at the point of use):
// help texts kept in tables. Answers `english` as it is.
constexpr const char* TrLater(const char* english) { return english; }

// `text` with {0}, {1}, ... replaced by `args` in order of their numbers.
std::string Fill(const std::string& text, std::initializer_list<std::string> args);

// Tr, then Fill.
inline std::string TrFill(const char* english, std::initializer_list<std::string> args) {
  return Fill(Tr(english), args);
}

// TrN, then Fill.
inline std::string TrNFill(const char* singular, const char* plural, unsigned long n,
                           std::initializer_list<std::string> args) {
  return Fill(TrN(singular, plural, n), args);
}

// A language to put a message into, for a front end that answers each user in that user's
// language (a page): the process's (as SetUpMessages chose it), English, or Simplified Chinese
// (read from the catalogue beside the program whatever the process's locale).
enum class Language { kProcess, kEnglish, kChinese };

const char* TrIn(Language language, const char* english);
const char* TrInN(Language language, const char* singular, const char* plural, unsigned long n);
inline std::string TrInFill(Language language, const char* english, std::initializer_list<std::string> args) {
  return Fill(TrIn(language, english), args);
}
inline std::string TrInNFill(Language language, const char* singular, const char* plural, unsigned long n,
                           std::initializer_list<std::string> args) {
  return Fill(TrInN(language, singular, plural, n), args);
}

// `message` in `language`: its text translated (a catalogue message) and filled with its values,
// each translated in its turn.
std::string Translate(const Message& message, Language language = Language::kProcess);
// The message an error carries (the host's errors) in `language`, else its what() as it is.
std::string Translate(const std::exception& error, Language language = Language::kProcess);

// The translation of `english` said in `context` (the catalogue's msgctxt): words that read alike
// in English but not in another language keep apart (the console names each of its words).
const char* TrInContext(Language language, const char* context, const char* english);
// Marks a text said in `context` as a message translated where it is shown (TrInContext at the
// point of use). Answers `english` as it is.
constexpr const char* TrLaterContext(const char* /*context*/, const char* english) { return english; }

// Sets the locale from the environment and binds the catalogue found relative to the running
// program (PREFIX/share/locale beside PREFIX/bin, or the build tree's share/locale). A zh_CN
// locale that is not installed on the machine still selects Chinese messages (through
// LANGUAGE, with the C.UTF-8 locale for characters). Numbers are always written the C way.
void SetUpMessages();

}  // namespace vanto::host
