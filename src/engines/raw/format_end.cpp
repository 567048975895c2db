#include "engines/raw/format_end.h"

#include <algorithm>
#include <cstring>

#include "engines/raw/ends/end_reader.h"
#include "support/text.h"

namespace velk {
namespace {

using ends::EndReader;
using Rule = FormatEnd (*)(EndReader&);

struct RuleInfo {
  std::string_view extension;
  Rule rule;
  std::string_view text;  // what velk-cli catalog says
};

FormatEnd dexEnd(EndReader& r) { return ends::sizeFieldEnd(r, 32, 4, false, 0, 112); }
FormatEnd iccEnd(EndReader& r) { return ends::sizeFieldEnd(r, 0, 4, true, 0, 132); }
FormatEnd regfEnd(EndReader& r) { return ends::sizeFieldEnd(r, 0x28, 4, false, 4096, 8192); }
FormatEnd swfEnd(EndReader& r) {
  return r.byte(0) == 'F' ? ends::sizeFieldEnd(r, 4, 4, false, 0, 21) : ends::damaged();
}
FormatEnd evtxEnd(EndReader& r) {
  const uint64_t chunks = r.le16(0x2A);
  if (!r.textAt(0, std::string_view("ElfFile\0", 8)) || chunks == 0 || r.le16(0x28) != 4096) return ends::damaged();
  const uint64_t end = 4096 + chunks * 65536;
  return end <= r.size() ? ends::endedUnproven(end) : ends::damaged();
}

// Every extension with a rule. Extensions a rule finds inside (docx from zip, nef from tif,
// webm from mkv) share their family's rule.
constexpr RuleInfo kRules[] = {
    {"jpg", ends::jpegEnd, "JPEG markers and scans up to EOI"},
    {"jpeg", ends::jpegEnd, "JPEG markers and scans up to EOI"},
    {"png", ends::pngEnd, "PNG chunks (CRC-32) up to IEND"},
    {"gif", ends::gifEnd, "GIF blocks up to the trailer"},
    {"bmp", ends::bmpEnd, "BMP file size field"},
    {"tif", ends::tiffEnd, "TIFF directories, strips and tiles"},
    {"tiff", ends::tiffEnd, "TIFF directories, strips and tiles"},
    {"cr2", ends::tiffEnd, "TIFF directories and raw planes"},
    {"nef", ends::tiffEnd, "TIFF directories and raw planes"},
    {"arw", ends::tiffEnd, "TIFF directories and raw planes"},
    {"dng", ends::tiffEnd, "TIFF directories and raw planes"},
    {"pef", ends::tiffEnd, "TIFF directories and raw planes"},
    {"psd", ends::psdEnd, "Photoshop sections and image data"},
    {"ico", ends::icoEnd, "icon directory"},
    {"cur", ends::icoEnd, "icon directory"},
    {"ppm", ends::pnmEnd, "header dimensions × sample size"},
    {"pgm", ends::pnmEnd, "header dimensions × sample size"},
    {"pbm", ends::pnmEnd, "header dimensions × sample size"},
    {"zip", ends::zipEnd, "ZIP end of central directory"},
    {"docx", ends::zipEnd, "ZIP end of central directory"},
    {"xlsx", ends::zipEnd, "ZIP end of central directory"},
    {"pptx", ends::zipEnd, "ZIP end of central directory"},
    {"odt", ends::zipEnd, "ZIP end of central directory"},
    {"ods", ends::zipEnd, "ZIP end of central directory"},
    {"odp", ends::zipEnd, "ZIP end of central directory"},
    {"odg", ends::zipEnd, "ZIP end of central directory"},
    {"epub", ends::zipEnd, "ZIP end of central directory"},
    {"jar", ends::zipEnd, "ZIP end of central directory"},
    {"apk", ends::zipEnd, "ZIP end of central directory"},
    {"doc", ends::ole2End, "compound document allocation table"},
    {"xls", ends::ole2End, "compound document allocation table"},
    {"ppt", ends::ole2End, "compound document allocation table"},
    {"msg", ends::ole2End, "compound document allocation table"},
    {"msi", ends::ole2End, "compound document allocation table"},
    {"iso", ends::isoEnd, "ISO 9660 volume space size"},
    {"7z", ends::sevenZipEnd, "7-Zip start header (CRC) and next header (CRC)"},
    {"tar", ends::tarEnd, "tar headers (checksums) up to the zero blocks"},
    {"rar", ends::rarEnd, "RAR headers (CRC) up to the end-of-archive record"},
    {"sqlite", ends::sqliteEnd, "SQLite page size × page count"},
    {"db", ends::sqliteEnd, "SQLite page size × page count"},
    {"pst", ends::pstEnd, "PST header end-of-file offset"},
    {"cab", ends::cabEnd, "cabinet size field"},
    {"deb", ends::arEnd, "ar member headers"},
    {"a", ends::arEnd, "ar member headers"},
    {"cpio", ends::cpioEnd, "cpio headers up to TRAILER!!!"},
    {"gz", ends::gzipEnd, "deflate stream decoded (zlib), CRC-32 and size"},
    {"zz", ends::zlibEnd, "deflate stream decoded (zlib), Adler-32"},
    {"bz2", ends::bzip2End, "bzip2 stream decoded (libbz2), CRCs"},
    {"xz", ends::xzEnd, "xz stream decoded (liblzma), check and index"},
    {"lzma", ends::lzmaEnd, "LZMA stream decoded (liblzma)"},
    {"zst", ends::zstdEnd, "zstd frame decoded (libzstd), checksum"},
    {"lz4", ends::lz4End, "LZ4 frame blocks up to the end mark"},
    {"mp3", ends::mp3End, "ID3 tags and MPEG audio frames"},
    {"flac", ends::flacEnd, "FLAC frames (CRC-8, CRC-16) up to the sample count"},
    {"ogg", ends::oggEnd, "Ogg pages (CRC-32) up to the last end of stream"},
    {"opus", ends::oggEnd, "Ogg pages (CRC-32) up to the last end of stream"},
    {"oga", ends::oggEnd, "Ogg pages (CRC-32) up to the last end of stream"},
    {"wav", ends::riffEnd, "RIFF size field"},
    {"avi", ends::riffEnd, "RIFF size field"},
    {"webp", ends::riffEnd, "RIFF size field"},
    {"aif", ends::iffEnd, "IFF FORM size field"},
    {"aiff", ends::iffEnd, "IFF FORM size field"},
    {"djvu", ends::iffEnd, "IFF FORM size field"},
    {"mid", ends::midiEnd, "MIDI header and track chunks"},
    {"au", ends::auEnd, "Sun audio data offset and size"},
    {"flv", ends::flvEnd, "FLV tags and their back sizes"},
    {"wmv", ends::asfEnd, "ASF file properties size"},
    {"wma", ends::asfEnd, "ASF file properties size"},
    {"mpg", ends::mpegPsEnd, "MPEG packs and packets up to the end code"},
    {"ts", ends::mpegTsEnd, "MPEG transport packets"},
    {"m2ts", ends::mpegTsEnd, "MPEG transport packets"},
    {"mp4", ends::isoBmffEnd, "ISO media boxes"},
    {"mov", ends::isoBmffEnd, "ISO media boxes"},
    {"m4a", ends::isoBmffEnd, "ISO media boxes"},
    {"m4v", ends::isoBmffEnd, "ISO media boxes"},
    {"3gp", ends::isoBmffEnd, "ISO media boxes"},
    {"3g2", ends::isoBmffEnd, "ISO media boxes"},
    {"heic", ends::isoBmffEnd, "ISO media boxes"},
    {"avif", ends::isoBmffEnd, "ISO media boxes"},
    {"cr3", ends::isoBmffEnd, "ISO media boxes"},
    {"jp2", ends::isoBmffEnd, "JPEG 2000 boxes"},
    {"mkv", ends::ebmlEnd, "EBML header and Matroska segment"},
    {"webm", ends::ebmlEnd, "EBML header and Matroska segment"},
    {"pdf", ends::pdfEnd, "PDF trailer %%EOF after startxref"},
    {"rtf", ends::rtfEnd, "RTF braces balanced"},
    {"html", ends::htmlEnd, "text up to </html>"},
    {"htm", ends::htmlEnd, "text up to </html>"},
    {"xml", ends::xmlEnd, "text up to the root element's close"},
    {"svg", ends::xmlEnd, "text up to the root element's close"},
    {"xhtml", ends::xmlEnd, "text up to the root element's close"},
    {"eml", ends::mailEnd, "text, or up to the closing MIME boundary"},
    {"mbox", ends::mailEnd, "text up to its last line"},
    {"ps", ends::postscriptEnd, "text up to the last %%EOF"},
    {"vcf", ends::vcardEnd, "text up to the last END:VCARD"},
    {"ics", ends::icalEnd, "text up to END:VCALENDAR"},
    {"pem", ends::pemEnd, "text up to the last -----END line"},
    {"sh", ends::textEnd, "text up to its last line"},
    {"py", ends::textEnd, "text up to its last line"},
    {"pl", ends::textEnd, "text up to its last line"},
    {"exe", ends::peEnd, "PE sections and certificate table"},
    {"dll", ends::peEnd, "PE sections and certificate table"},
    {"elf", ends::elfEnd, "ELF section and program headers"},
    {"so", ends::elfEnd, "ELF section and program headers"},
    {"mo", ends::moEnd, "gettext string tables"},
    {"ttf", ends::sfntEnd, "font table directory (checksums)"},
    {"otf", ends::sfntEnd, "font table directory (checksums)"},
    {"woff", ends::woffEnd, "WOFF length field"},
    {"woff2", ends::woffEnd, "WOFF length field"},
    {"pcap", ends::pcapEnd, "capture records"},
    {"blend", ends::blendEnd, "Blender blocks up to ENDB"},
    {"torrent", ends::bencodeEnd, "bencoded dictionary closed"},
    {"dex", dexEnd, "DEX file size field"},
    {"icc", iccEnd, "ICC profile size field"},
    {"hive", regfEnd, "registry hive bins size"},
    {"swf", swfEnd, "SWF file length field"},
    {"evtx", evtxEnd, "event log chunk count"},
};

const RuleInfo* ruleFor(std::string_view extension) {
  const std::string ext = lowerAscii(extension);
  for (const auto& info : kRules)
    if (ext == info.extension) return &info;
  return nullptr;
}

}  // namespace

size_t MemorySource::read(uint64_t offset, uint8_t* out, size_t n) {
  if (offset >= m_bytes.size()) return 0;
  const size_t take = size_t(std::min<uint64_t>(n, m_bytes.size() - offset));
  std::memcpy(out, m_bytes.data() + offset, take);
  return take;
}

std::vector<std::string_view> extensionsWithEndRules() {
  std::vector<std::string_view> out;
  for (const auto& info : kRules) out.push_back(info.extension);
  return out;
}

EndMode endModeOf(std::string_view extension) { return ruleFor(extension) ? EndMode::Decoded : EndMode::NextHeader; }

std::string_view endRuleText(std::string_view extension) {
  const RuleInfo* info = ruleFor(extension);
  return info ? info->text : "cut at the next header or the size limit";
}

FormatEnd findFormatEnd(std::string_view extension, ByteSource& window) {
  const RuleInfo* info = ruleFor(extension);
  if (!info) return {};
  EndReader r(window);
  FormatEnd end = info->rule(r);
  if (end.end > window.size()) end = ends::damaged();
  if (end.verdict == StructureVerdict::Unverified && end.end == 0) end.verdict = StructureVerdict::Damaged;
  return end;
}

}  // namespace velk
