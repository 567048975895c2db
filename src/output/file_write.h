#pragma once
// Files the program itself writes outside a recovery (partition backups, undo files, mail
// repair copies, reports): checked against the drives being examined, written whole under
// a temporary name in the target's folder, synced, then renamed into place, so a full disk
// or a crash never leaves a partial file under the real name.

#include <ctime>
#include <filesystem>
#include <optional>
#include <string_view>

#include "formats/bytes.h"
#include "support/error.h"

namespace velk {

enum class Replace : uint8_t { Never, Allowed };

// Writes bytes as the file target. With Replace::Never an existing target (or a link of
// that name) is refused with Usage and left alone; a target on a drive being examined is
// refused with Usage (checkWriteTarget); the error otherwise names the cause (no space
// left, permission denied). The target's folder must exist.
[[nodiscard]] Status writeFileAtomically(const std::filesystem::path& target, ByteSpan bytes,
                                         Replace replace = Replace::Never);

// Writes bytes as a new file in folder (created when missing) named stem + extension, or
// stem-1 + extension, stem-2 … when that is taken: never replacing anything. The path
// written.
[[nodiscard]] Result<std::filesystem::path> writeFileUnderFreeName(const std::filesystem::path& folder,
                                                                   std::string_view stem, std::string_view extension,
                                                                   ByteSpan bytes);

// When a file was made: its birth time where the file system keeps one, else its last
// modification; nullopt when it cannot be examined.
std::optional<std::time_t> fileBirthTime(const std::filesystem::path& path);

}  // namespace velk
