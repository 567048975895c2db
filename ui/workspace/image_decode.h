#pragma once
// Decodes found data as an image of a type code (ImageTypeOf): the toolkit's own handlers
// where it has them, our decoders for WBMP, RAS and PGX, OpenJPEG for JPEG 2000 when built
// with it. False means "show the dump instead"; nothing here trusts the data.

#include <cstdint>
#include <span>
#include <wx/image.h>

namespace velk::ui {

bool decodeImage(std::span<const uint8_t> data, int typeCode, wxImage& out);

}  // namespace velk::ui
