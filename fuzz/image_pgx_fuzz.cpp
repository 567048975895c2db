// libFuzzer target: the PGX (JPEG 2000 test image) decoder of the previews.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "imaging/small_formats.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  velk::RgbaImage image;
  if (velk::decodePgx({data, size}, image) && image.pixels.size() != size_t(image.width) * image.height * 4)
    std::abort();
  return 0;
}
