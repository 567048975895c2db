#include "partition/partition_texts.h"

#include <fmt/format.h>

namespace velk {

std::string_view rewriteMessage(RewriteCode code) {
  switch (code) {
    case RewriteCode::Rewritten: return {};
    case RewriteCode::NoDisk: return kTextSelectDisk;
    case RewriteCode::NoCandidate: return kTextSelectPartition;
    case RewriteCode::DeviceFailure: return kTextCannotAccessDisk;
    case RewriteCode::InvalidPartition: return kTextInvalidPartition;
    case RewriteCode::NoGap: return kTextCannotRecover;
  }
  return {};
}

CandidateLine candidateLine(const PartitionRecord& r) {
  CandidateLine line;
  line.name = fmt::format("{}:  {}", r.letter ? r.letter : '*', r.fsNameText());
  line.start = fmt::format("Start Sector : {}", r.startSector);
  // start + length ÷ 512 − 1; a zero-length record ends where it starts.
  uint64_t end = r.endSector();
  line.end = fmt::format("End Sector : {}", end > r.startSector ? end - 1 : uint64_t(r.startSector));
  return line;
}

std::string diskComboText(const DiskRecord& disk) {
  const std::string name = disk.nameText();
  const std::string bus(busTypeName(disk.busType));
  if (disk.size < 1024) return fmt::format("{} (  BusType :  {} ,    Size :  {} B  )", name, bus, disk.size);
  double size = double(disk.size) / 1024;
  if (size < 1024) return fmt::format("{}(  BusType :   {} ,    Size :  {:.2f} KB  )", name, bus, size);
  size /= 1024;
  if (size < 1024) return fmt::format("{} (  BusType :  {} ,    Size :  {:.2f} MB  )", name, bus, size);
  size /= 1024;
  return fmt::format("{} (  BusType :  {} ,    Size :  {:.2f} GB  )", name, bus, size);
}

uint32_t diskMapColour(std::string_view fs) {
  if (fs == "FAT12") return 0x00FFFF;
  if (fs == "FAT16" || fs == "FAT") return 0x00FF00;
  if (fs == "FAT32") return 0xFF0000;
  if (fs == "NTFS") return 0xFF00FF;
  if (fs == "EXT2") return 0xFFFF00;
  if (fs == "EXT3") return 0x007878;
  return 0xBEBEBE;
}

}  // namespace velk
