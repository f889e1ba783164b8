// The console's words, and which language a page speaks: the user's setting, else the browser's
// Accept-Language, else English. One catalogue and one Language serve the command line and the
// console: the console's words are messages of the gettext catalogue (po/), each said in its
// name as context (TrInContext), so translators have one file and one coverage check.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include <kainjow/mustache.hpp>

#include "host/text/messages.h"

namespace vanto::web {

// The host's Language: a page speaks English or Simplified Chinese (kProcess: the server's).
using Language = host::Language;

// "en" or "zh_CN": as a user's setting is stored.
const char* LanguageCode(Language language);
// The page language for a user's setting (may be empty) and the request's Accept-Language.
Language PageLanguage(std::string_view setting, std::string_view accept_language);

// Every word of the pages in `language`, as the templates' `t` object.
const kainjow::mustache::data& Words(Language language);
// One word (the key itself when it has none).
std::string Say(Language language, const std::string& key);
// A day status of the attendance rules ("missing-swipe") as a clerk reads it ("missing swipe",
// "缺卡"); a word it does not know as it is.
std::string StatusSaid(Language language, const std::string& word);
// A person's status counts as the pages say them: "absent 2, left early 3" ("" none).
std::string StatusCountsSaid(Language language, const std::map<std::string, int>& counts);

}  // namespace vanto::web
