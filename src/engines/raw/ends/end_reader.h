#pragma once
// What every end rule shares: a block-cached reader over the carved window, the verdict
// helpers and the rule signatures of each family. Rules read only through EndReader, so a
// damaged length can never make them read outside the window or allocate by it.

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

#include "formats/bytes.h"
#include "engines/raw/format_end.h"

namespace velk::ends {

inline constexpr uint64_t kNone = UINT64_MAX;
// Markers, chunks, frames, blocks or directory entries walked per file before giving up:
// a damaged file ends the walk, it never hangs the scan.
inline constexpr uint64_t kStepBudget = 1u << 22;

class EndReader {
 public:
  explicit EndReader(ByteSource& src) : m_src(src), m_size(src.size()) {}

  uint64_t size() const { return m_size; }
  bool has(uint64_t off, uint64_t n) const { return off <= m_size && n <= m_size - off; }

  // Pointer to n bytes at off (n ≤ kBlock / 2), or nullptr past the window.
  const uint8_t* at(uint64_t off, size_t n);
  int byte(uint64_t off) {
    const uint8_t* p = at(off, 1);
    return p ? *p : -1;
  }
  uint16_t le16(uint64_t off) { return read<2>(off, velk::le16); }
  uint32_t le32(uint64_t off) { return read<4>(off, velk::le32); }
  uint64_t le64(uint64_t off) { return read<8>(off, velk::le64); }
  uint16_t be16(uint64_t off) { return read<2>(off, velk::be16); }
  uint32_t be32(uint64_t off) { return read<4>(off, velk::be32); }
  uint64_t be64(uint64_t off) { return read<8>(off, velk::be64); }
  bool textAt(uint64_t off, std::string_view text);

  // The resident bytes from off on (loading them), at least one byte unless at the end.
  std::pair<const uint8_t*, size_t> run(uint64_t off);
  uint64_t findByte(uint64_t off, uint8_t b, uint64_t until = kNone);
  // First occurrence of needle at or after off and before until (caseless: ASCII letters
  // in any case).
  uint64_t findText(uint64_t off, std::string_view needle, bool caseless = false, uint64_t until = kNone);
  // Adds "\r\n", "\n" or "\r" right after off to the end.
  uint64_t withLineEnd(uint64_t off);
  // CRC-32 of n bytes at off; false when they are not all there.
  bool crcOf(uint64_t off, uint64_t n, uint32_t& crc);

 private:
  static constexpr size_t kBlock = 1u << 20;
  // Bytes read at least when they are not in memory: most rules need a few kilobytes,
  // and copying a whole block per carved file cost more than the rules.
  static constexpr size_t kMinRead = 64u << 10;
  template <size_t N, typename F>
  auto read(uint64_t off, F f) -> decltype(f(nullptr)) {
    const uint8_t* p = at(off, N);
    return p ? f(p) : 0;
  }
  uint64_t findFirstCaseless(uint64_t off, char c, uint64_t until);
  bool load(uint64_t off, size_t need);

  ByteSource& m_src;
  uint64_t m_size;
  std::unique_ptr<uint8_t[]> m_buf;
  size_t m_bufSize = 0;
  const uint8_t* m_data = nullptr;  // the loaded block: m_buf, or bytes the source holds
  uint64_t m_start = 0;
  size_t m_len = 0;
};

// Verified: the structure closed itself (an end marker, an end-of-archive record, a
// directory that accounts for the file) and every checksum it carries passed.
inline FormatEnd verified(uint64_t end) { return {StructureVerdict::Verified, end, {}}; }
inline FormatEnd damaged(uint64_t end = 0) { return {StructureVerdict::Damaged, end, {}}; }
// Whole by its structure, but the format carries nothing that proves its content (no
// checksum, no closing record).
inline FormatEnd endedUnproven(uint64_t end) { return {StructureVerdict::Unverified, end, {}}; }
inline FormatEnd withExtension(FormatEnd e, std::string_view ext) {
  e.extension = std::string(ext);
  return e;
}

// Pictures (image_ends.cpp).
// The JPEG marker walk: where it ended (EOI) or where its data first stopped being JPEG.
struct JpegWalk {
  bool complete = false;   // reached EOI after a frame and a scan
  uint64_t end = 0;        // past EOI when complete
  uint64_t breakAt = 0;    // else: the first byte that cannot continue the stream
  uint64_t scanStart = 0;  // where the first scan's entropy-coded data begins
  uint64_t scanEnd = 0;    // where the last stretch of entropy-coded data met a marker
  // Where the first stretch of entropy-coded data met a marker (or the break): a walk
  // begun anywhere inside that stretch goes the same way from there.
  uint64_t firstMarker = 0;
};
// From a picture's SOI at `from`, or (continuation) from inside a scan's data there.
JpegWalk walkJpeg(EndReader& r, uint64_t from = 0, bool continuation = false);
FormatEnd jpegEnd(EndReader& r);
FormatEnd pngEnd(EndReader& r);
FormatEnd gifEnd(EndReader& r);
FormatEnd bmpEnd(EndReader& r);
FormatEnd tiffEnd(EndReader& r);
FormatEnd psdEnd(EndReader& r);
FormatEnd icoEnd(EndReader& r);
FormatEnd pnmEnd(EndReader& r);
// Containers and archives (archive_ends.cpp, ole2_end.cpp).
FormatEnd zipEnd(EndReader& r);
FormatEnd ole2End(EndReader& r);
FormatEnd isoEnd(EndReader& r);
FormatEnd sevenZipEnd(EndReader& r);
FormatEnd tarEnd(EndReader& r);
FormatEnd rarEnd(EndReader& r);
FormatEnd sqliteEnd(EndReader& r);
FormatEnd pstEnd(EndReader& r);
FormatEnd cabEnd(EndReader& r);
FormatEnd arEnd(EndReader& r);
FormatEnd cpioEnd(EndReader& r);
// Compressed streams, decoded with their libraries (stream_ends.cpp).
FormatEnd gzipEnd(EndReader& r);
FormatEnd zlibEnd(EndReader& r);
FormatEnd bzip2End(EndReader& r);
FormatEnd xzEnd(EndReader& r);
FormatEnd lzmaEnd(EndReader& r);
FormatEnd zstdEnd(EndReader& r);
FormatEnd lz4End(EndReader& r);
// Sound and video (media_ends.cpp, box_ends.cpp).
FormatEnd mp3End(EndReader& r);
FormatEnd flacEnd(EndReader& r);
FormatEnd oggEnd(EndReader& r);
FormatEnd riffEnd(EndReader& r);
FormatEnd iffEnd(EndReader& r);
FormatEnd midiEnd(EndReader& r);
FormatEnd auEnd(EndReader& r);
FormatEnd flvEnd(EndReader& r);
FormatEnd asfEnd(EndReader& r);
FormatEnd mpegPsEnd(EndReader& r);
FormatEnd mpegTsEnd(EndReader& r);
FormatEnd isoBmffEnd(EndReader& r);
FormatEnd ebmlEnd(EndReader& r);
// Documents and text (text_ends.cpp).
FormatEnd pdfEnd(EndReader& r);
FormatEnd rtfEnd(EndReader& r);
FormatEnd htmlEnd(EndReader& r);
FormatEnd xmlEnd(EndReader& r);
FormatEnd mailEnd(EndReader& r);
FormatEnd textEnd(EndReader& r);
FormatEnd postscriptEnd(EndReader& r);
FormatEnd vcardEnd(EndReader& r);
FormatEnd icalEnd(EndReader& r);
FormatEnd pemEnd(EndReader& r);
// Programs, fonts and other binaries (binary_ends.cpp).
FormatEnd peEnd(EndReader& r);
FormatEnd elfEnd(EndReader& r);
FormatEnd moEnd(EndReader& r);
FormatEnd sfntEnd(EndReader& r);
FormatEnd woffEnd(EndReader& r);
FormatEnd pcapEnd(EndReader& r);
FormatEnd blendEnd(EndReader& r);
FormatEnd bencodeEnd(EndReader& r);
FormatEnd sizeFieldEnd(EndReader& r, uint64_t fieldOffset, int width, bool bigEndian, uint64_t add,
                       uint64_t minimum);

}  // namespace velk::ends
