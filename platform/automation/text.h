// UTF-8 and UTF-16 conversions for the edges of the system (terminal output, files, SQLite).
#pragma once

#include <string>
#include <string_view>

#include "platform/automation/abi.h"

// Unpaired surrogates become U+FFFD; nothing is dropped silently.
VANTO_EXPORT std::string ToUtf8(std::u16string_view text);
// Invalid UTF-8 sequences become U+FFFD.
VANTO_EXPORT std::u16string ToUtf16(std::string_view text);

// Member, class and column names match ignoring the case of ASCII letters.
VANTO_EXPORT bool SameNameIgnoringCase(std::u16string_view a, std::u16string_view b);
