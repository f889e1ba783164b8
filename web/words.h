// The console's words in English and Simplified Chinese, and which language a page speaks: the
// user's setting, else the browser's Accept-Language, else English.
#pragma once

#include <string>
#include <string_view>

#include <kainjow/mustache.hpp>

#include "host/text/messages.h"

namespace vanto::web {

enum class Language { English, Chinese };

// "en" or "zh_CN": as a user's setting is stored.
const char* LanguageCode(Language language);
// The page language for a user's setting (may be empty) and the request's Accept-Language.
Language PageLanguage(std::string_view setting, std::string_view accept_language);

// The host's language for a page's: the host's words (a sync's cause) come in the page's language.
host::Language HostLanguage(Language language);

// Every word of the pages in `language`, as the templates' `t` object.
const kainjow::mustache::data& Words(Language language);
// One word (the key itself when it has none).
std::string Say(Language language, const std::string& key);

}  // namespace vanto::web
