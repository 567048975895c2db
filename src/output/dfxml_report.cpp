#include "output/dfxml_report.h"

#include <ctime>

#include <fmt/chrono.h>
#include <fmt/format.h>

#ifndef VELK_VERSION
#define VELK_VERSION "0"
#endif

namespace velk {
namespace {

// img_offset counts from the start of the image: the partition's own offset plus where
// the partition begins.
void writeRun(std::string& out, const ByteRun& run, uint64_t volumeOffset) {
  out += fmt::format("        <byte_run file_offset=\"{}\" img_offset=\"{}\" len=\"{}\"/>\n", run.fileOffset,
                     volumeOffset + run.partitionOffset, run.length);
}

}  // namespace

std::string xmlEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (uint8_t(c) < 0x20 || c == 0x7F) out += fmt::format("\\x{:02x}", uint8_t(c));
        else out += c;
    }
  }
  return out;
}

std::string dfxmlText(const ReportSource& source, const std::vector<ReportedFile>& files, int64_t startTime) {
  std::string out;
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += "<dfxml xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\"\n"
         "       xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
         "       xmlns:velk=\"https://velk.invalid/dfxml\" version=\"1.0\">\n";
  out += "  <metadata>\n    <dc:type>Recovered files</dc:type>\n  </metadata>\n";
  out += "  <creator version=\"1.0\">\n    <program>Velk File Recovery</program>\n";
  out += fmt::format("    <version>{}</version>\n", xmlEscaped(VELK_VERSION));
  out += fmt::format("    <execution_environment>\n      <start_time>{:%Y-%m-%dT%H:%M:%SZ}</start_time>\n"
                     "    </execution_environment>\n  </creator>\n",
                     fmt::gmtime(std::time_t(startTime)));
  out += fmt::format("  <source>\n    <image_filename>{}</image_filename>\n    <image_size>{}</image_size>\n  </source>\n",
                     xmlEscaped(source.image), source.imageSize);
  out += fmt::format("  <volume offset=\"{}\">\n", source.volumeOffset);
  if (!source.fileSystem.empty()) out += fmt::format("    <ftype_str>{}</ftype_str>\n", xmlEscaped(source.fileSystem));
  if (!source.task.empty()) out += fmt::format("    <velk:task>{}</velk:task>\n", xmlEscaped(source.task));
  for (const ReportedFile& f : files) {
    out += "    <fileobject>\n";
    out += fmt::format("      <filename>{}</filename>\n      <filesize>{}</filesize>\n", xmlEscaped(f.filename), f.size);
    out += fmt::format("      <{}>1</{}>\n", f.deleted ? "unalloc" : "alloc", f.deleted ? "unalloc" : "alloc");
    out += fmt::format("      <velk:id>{}</velk:id>\n      <velk:verdict>{}</velk:verdict>\n", f.id, f.verdict);
    if (f.runsKnown) {
      out += "      <byte_runs>\n";
      for (const ByteRun& run : f.runs) writeRun(out, run, source.volumeOffset);
      out += "      </byte_runs>\n";
    }
    out += fmt::format("      <hashdigest type=\"sha256\">{}</hashdigest>\n", f.sha256);
    out += "    </fileobject>\n";
  }
  out += "  </volume>\n</dfxml>\n";
  return out;
}

}  // namespace velk
