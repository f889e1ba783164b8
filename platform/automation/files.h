// Whole-file reads for the runtime's own files (the registry, module images).
#pragma once

#include <cstddef>
#include <limits>
#include <string>

// Reads the whole file into `text`. False with errno set when it cannot: ENOENT for a missing
// file, EFBIG when it is larger than `limit` bytes.
bool ReadWholeFile(const std::string& path, std::string* text,
                   std::size_t limit = std::numeric_limits<std::size_t>::max());
