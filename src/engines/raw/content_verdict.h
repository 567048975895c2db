#pragma once
// The verdict on a recovered file's content, from its own format: the raw engine's end
// rules read the written file back and say whether its structure and checksums hold. The
// recovery job asks this for every file whose engine could not judge it while scanning.

#include <filesystem>
#include <string_view>

#include "workspace/file_record.h"

namespace velk {

// Files larger than this stay unverified: checking them would read them a second time.
inline constexpr uint64_t kMaxVerifiedBytes = uint64_t(512) << 20;

// Verified when the type named by the file name's extension has an end rule and the file
// passes it; Damaged when the rule finds the structure broken; Unverified when no rule
// applies (or the file cannot be read back).
Verdict verifyContent(const std::filesystem::path& file, std::string_view name);

}  // namespace velk
