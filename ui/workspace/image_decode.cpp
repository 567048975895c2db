#include "workspace/image_decode.h"

#include <algorithm>
#include <cstring>
#include <wx/log.h>
#include <wx/mstream.h>

#include "imaging/small_formats.h"
#include "workspace/preview.h"

#ifdef VELK_HAVE_OPENJPEG
#include <openjpeg.h>
#endif

namespace velk::ui {
namespace {

bool fromRgba(const RgbaImage& rgba, wxImage& out) {
  wxImage img(int(rgba.width), int(rgba.height), false);
  if (!img.IsOk()) return false;
  unsigned char* rgb = img.GetData();
  const size_t n = size_t(rgba.width) * rgba.height;
  for (size_t i = 0; i < n; ++i) std::memcpy(rgb + i * 3, &rgba.pixels[i * 4], 3);
  out = img;
  return true;
}

#ifdef VELK_HAVE_OPENJPEG
struct MemoryStream {
  std::span<const uint8_t> data;
  size_t at = 0;
};

OPJ_SIZE_T readMem(void* buffer, OPJ_SIZE_T n, void* user) {
  auto* m = static_cast<MemoryStream*>(user);
  if (m->at >= m->data.size()) return OPJ_SIZE_T(-1);
  n = std::min<OPJ_SIZE_T>(n, m->data.size() - m->at);
  std::memcpy(buffer, m->data.data() + m->at, n);
  m->at += n;
  return n;
}
OPJ_OFF_T skipMem(OPJ_OFF_T n, void* user) {
  auto* m = static_cast<MemoryStream*>(user);
  if (n < 0 || size_t(n) > m->data.size() - m->at) return -1;
  m->at += size_t(n);
  return n;
}
OPJ_BOOL seekMem(OPJ_OFF_T n, void* user) {
  auto* m = static_cast<MemoryStream*>(user);
  if (n < 0 || size_t(n) > m->data.size()) return OPJ_FALSE;
  m->at = size_t(n);
  return OPJ_TRUE;
}
void quiet(const char*, void*) {}

bool decodeJpeg2000(std::span<const uint8_t> data, wxImage& out) {
  if (data.size() < 12) return false;
  // A JP2 file starts with its signature box; anything else is taken as a codestream.
  static const uint8_t kJp2[] = {0, 0, 0, 0x0C, 'j', 'P', ' ', ' '};
  const bool jp2 = std::memcmp(data.data(), kJp2, sizeof kJp2) == 0;
  opj_codec_t* codec = opj_create_decompress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K);
  if (!codec) return false;
  opj_set_info_handler(codec, quiet, nullptr);
  opj_set_warning_handler(codec, quiet, nullptr);
  opj_set_error_handler(codec, quiet, nullptr);
  opj_dparameters_t params;
  opj_set_default_decoder_parameters(&params);
  MemoryStream mem{data, 0};
  opj_stream_t* stream = opj_stream_create(1 << 16, OPJ_TRUE);
  opj_stream_set_user_data(stream, &mem, nullptr);
  opj_stream_set_user_data_length(stream, data.size());
  opj_stream_set_read_function(stream, readMem);
  opj_stream_set_skip_function(stream, skipMem);
  opj_stream_set_seek_function(stream, seekMem);
  opj_image_t* image = nullptr;
  bool ok = opj_setup_decoder(codec, &params) && opj_read_header(stream, codec, &image) && image;
  if (ok) {
    const uint64_t w = image->x1 - image->x0, h = image->y1 - image->y0;
    ok = w > 0 && h > 0 && w <= kMaxImageSide && h <= kMaxImageSide && w * h <= kMaxImagePixels;
  }
  ok = ok && opj_decode(codec, stream, image) && opj_end_decompress(codec, stream);
  if (ok && image->numcomps >= 1) {
    const int w = int(image->comps[0].w), h = int(image->comps[0].h);
    wxImage img(w, h, false);
    unsigned char* rgb = img.GetData();
    const bool colour = image->numcomps >= 3 && image->comps[1].w == image->comps[0].w &&
                        image->comps[2].w == image->comps[0].w && image->comps[1].h == image->comps[0].h &&
                        image->comps[2].h == image->comps[0].h;
    auto sample = [&](int c, size_t i) {
      const opj_image_comp_t& comp = image->comps[c];
      int v = comp.data[i] + (comp.sgnd ? 1 << (comp.prec - 1) : 0);
      int prec = int(comp.prec);
      if (prec > 8) v >>= (prec - 8);
      else if (prec < 8 && prec > 0) v = v * 255 / ((1 << prec) - 1);
      return uint8_t(std::clamp(v, 0, 255));
    };
    for (size_t i = 0; i < size_t(w) * h; ++i) {
      rgb[i * 3] = sample(0, i);
      rgb[i * 3 + 1] = colour ? sample(1, i) : rgb[i * 3];
      rgb[i * 3 + 2] = colour ? sample(2, i) : rgb[i * 3];
    }
    out = img;
  } else {
    ok = false;
  }
  if (image) opj_image_destroy(image);
  opj_stream_destroy(stream);
  opj_destroy_codec(codec);
  return ok;
}
#endif

}  // namespace

bool decodeImage(std::span<const uint8_t> data, int typeCode, wxImage& out) {
  if (data.empty()) return false;
  RgbaImage rgba;
  switch (typeCode) {
    case kImageWbmp: return decodeWbmp(data, rgba) && fromRgba(rgba, out);
    case kImageRas: return decodeSunRaster(data, rgba) && fromRgba(rgba, out);
    case kImagePgx: return decodePgx(data, rgba) && fromRgba(rgba, out);
    case kImageJ2k:
    case kImageJpc:
#ifdef VELK_HAVE_OPENJPEG
      return decodeJpeg2000(data, out);
#else
      return false;
#endif
    case kImageWmf:
    case kImageNone: return false;
    default: break;
  }
  wxBitmapType type = wxBITMAP_TYPE_ANY;
  switch (typeCode) {
    case kImageBmp: type = wxBITMAP_TYPE_BMP; break;
    case kImageGif: type = wxBITMAP_TYPE_GIF; break;
    case kImageJpeg: type = wxBITMAP_TYPE_JPEG; break;
    case kImagePng: type = wxBITMAP_TYPE_PNG; break;
    case kImageIco: type = wxBITMAP_TYPE_ICO; break;
    case kImageTiff: type = wxBITMAP_TYPE_TIFF; break;
    case kImageTga: type = wxBITMAP_TYPE_TGA; break;
    case kImagePcx: type = wxBITMAP_TYPE_PCX; break;
    case kImagePnm: type = wxBITMAP_TYPE_PNM; break;
    default: return false;
  }
  // Damaged data makes the handlers log errors; the dump is the answer, not a log window.
  wxLogNull quiet;
  wxMemoryInputStream in(data.data(), data.size());
  wxImage img;
  if (!img.LoadFile(in, type) || !img.IsOk()) return false;
  if (uint64_t(img.GetWidth()) * img.GetHeight() > kMaxImagePixels) return false;
  out = img;
  return true;
}

}  // namespace velk::ui
