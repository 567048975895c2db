#pragma once
// Two-fragment JPEGs: a picture whose data stops being JPEG at a sector boundary, and whose
// rest lies further on (the space between held other data when it was written). The
// continuation is searched sector by sector in a bounded window; a candidate whose walk
// reaches EOI is joined to the first piece and must decode cleanly with libjpeg-turbo.

#include <cstdint>
#include <optional>
#include <vector>

#include "engines/raw/format_end.h"

namespace velk {

struct JpegJoin {
  uint64_t firstLength = 0;   // bytes of the first piece, from the header
  uint64_t secondOffset = 0;  // where the second piece begins, from the header
  uint64_t secondLength = 0;
};

// window: the bytes from the header on (as far as the search may look). Offsets are
// relative to the header, which lies on a sector boundary.
std::optional<JpegJoin> findJpegContinuation(ByteSource& window, uint32_t sectorSize);

// Whether libjpeg-turbo decodes the picture without a warning (decoded at 1/8 scale: the
// entropy-coded data is read whole, the pixels stay few).
bool jpegDecodesCleanly(const std::vector<uint8_t>& bytes);

}  // namespace velk
