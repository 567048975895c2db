#pragma once
// Files the program itself writes outside a recovery (partition backups, undo files, mail
// repair copies, reports): written whole under a temporary name in the target's folder,
// synced, then renamed into place, so a full disk or a crash never leaves a partial file
// under the real name. The only room besides the device layer that calls the platform.

#include <filesystem>

#include "formats/bytes.h"
#include "support/error.h"

namespace velk {

enum class Replace : uint8_t { Never, Allowed };

// Writes bytes as the file target. With Replace::Never an existing target (or a link of
// that name) is refused with Usage and left alone; the error otherwise names the cause
// (no space left, permission denied).
[[nodiscard]] Status writeFileAtomically(const std::filesystem::path& target, ByteSpan bytes,
                                         Replace replace = Replace::Never);

}  // namespace velk
