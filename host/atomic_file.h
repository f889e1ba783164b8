// The host's one atomic file writer: a file is replaced whole or not at all. The text goes to a
// new file beside the target (created with `mode`), is flushed to the disk, and is renamed over
// the target; the folder is flushed too, so the rename survives a power cut. A reader sees the
// old file or the new one, never half of one; a failed write leaves the old one as it was and no
// temporary file behind.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <sys/types.h>

namespace vanto::host {

// Files holding people's data (reports) are private to their owner.
inline constexpr mode_t kPrivateFileMode = 0600;
inline constexpr mode_t kSharedFileMode = 0644;

// Replaces `path` with `text`. Returns nothing on success, else what failed, naming the file
// and the system's reason ("/x/y.new-12-3: No such file or directory"), in the system's words.
std::optional<std::string> ReplaceFileAtomically(const std::string& path, std::string_view text, mode_t mode);

}  // namespace vanto::host
