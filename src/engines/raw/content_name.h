#pragma once
// Names of carved files from their own metadata: a JPEG's EXIF date and camera
// ("2024-06-01 12-03-44 Canon EOS 80D"), a PDF's title or creation date, an office
// document's title (OOXML core properties, ODF meta), an MP3's ID3 artist and title. The
// bytes are untrusted: every field is bounded and converted to UTF-8.

#include <string>
#include <string_view>

#include "engines/raw/format_end.h"

namespace velk {

// The name (without extension) for a file of this extension, or "" when its metadata
// gives none. Not yet made safe for a folder: the caller applies safeComponent.
std::string contentNameOf(std::string_view extension, ByteSource& file);

}  // namespace velk
