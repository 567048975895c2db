#pragma once
// What a recovery wrote, from where, as Digital Forensics XML: the convention fiwalk and
// PhotoRec write their reports in. The source (image or device and its size), the tool and
// its version, and one fileobject per recovered file: the name as written, its size, its
// SHA-256, the verdict on its content and the byte runs it was read from.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/error.h"
#include "workspace/extraction_plan.h"

namespace velk {

struct ReportSource {
  std::string image;        // the image file or device the files came from
  uint64_t imageSize = 0;   // bytes
  uint64_t volumeOffset = 0;  // where the scanned volume begins on it (bytes)
  std::string fileSystem;   // as the drive list names it ("NTFS", "FAT32", ...)
  std::string task;         // "deleted", "formatted", "raw"
};

struct ReportedFile {
  uint64_t id = 0;
  std::string filename;  // relative to the output folder, "/"-separated, as written
  uint64_t size = 0;
  std::string sha256;    // lower-case hex
  std::string verdict;   // "verified", "unverified", "damaged"
  bool deleted = true;
  bool runsKnown = false;  // false: the engine could not tell where the content lies
  std::vector<ByteRun> runs;  // stretches read from the partition; none when the engine cannot tell
};

// The whole document. startTime is seconds since the epoch (written in UTC).
std::string dfxmlText(const ReportSource& source, const std::vector<ReportedFile>& files, int64_t startTime);

// Text safe inside XML character data and attribute values: markup characters become
// entities, control characters (which XML 1.0 cannot carry) a visible "\xNN".
std::string xmlEscaped(std::string_view text);

}  // namespace velk
