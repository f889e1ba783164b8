// Texts the host keeps as it wrote them, in English, for a reader of the table (an audit row's
// details, a push endpoint's last error), in the language of the reader a front end names. One
// table of the forms those texts take (present/recorded_words.cpp) reads the values back out of a
// text and words it again; a text or part of one that takes none of the forms (the driver's own
// words, a database's message, a row of a later version) is shown as it stands.
#pragma once

#include <string>

#include "host/text/messages.h"

namespace vanto::host {

// An audit row's details in `language` (in English: the details exactly as recorded). The
// details of an action that records only a name (a user's, a token's) are that name.
std::string AuditDetailsText(Language language, const std::string& action, const std::string& details);

// A push endpoint's recorded failure in `language` (in English: exactly as recorded).
std::string PushErrorText(Language language, const std::string& error);

// Why the site file's [[push]] table is unusable (a SitePush's or SiteProblem's text, as a host
// whose messages are English wrote it) in `language`; a text in another language stands as it is.
std::string PushProblemText(Language language, const std::string& problem);

}  // namespace vanto::host
