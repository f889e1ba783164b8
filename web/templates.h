// The console's page templates (mustache, escaping every {{value}}) and its static files, compiled
// into the program: nothing is looked up on disk at run time.
#pragma once

#include <string>

#include <kainjow/mustache.hpp>

#include "web/words.h"

namespace vanto::web {

enum class Template { Layout, Login, Placeholder, Users, Audit, Message };

// Renders `which` with `data`, the console's words in `language` as {{t.KEY}} beneath it (one
// set of words per language shared by every render, never copied into `data`); throws
// std::logic_error when a template does not parse (a fault of this program, caught by the tests).
std::string Render(Template which, const kainjow::mustache::data& data, Language language);
// The same for a page's own template `text` (kept beside its page), named `name` in the error.
// `text` is a constant of the program: each thread parses it once and keeps it by its address.
std::string RenderText(const char* name, const char* text, const kainjow::mustache::data& data, Language language);

// The stylesheet and the one script the pages use (the pages work without it).
extern const char* const kStylesheet;
extern const char* const kScript;

}  // namespace vanto::web
