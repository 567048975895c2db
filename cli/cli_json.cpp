#include "cli_json.h"

#include "support/text.h"

namespace velk::cli {

std::string letterText(char letter) { return std::string(1, letter ? letter : '*'); }

nlohmann::json diskJson(const DiskRecord& d) {
  return {{"number", d.number},
          {"name", codepageText(d.nameText())},
          {"size", d.size},
          {"removable", d.removable != 0},
          {"bus_type", d.busType},
          {"bus_type_name", std::string(busTypeName(d.busType))}};
}

nlohmann::json partitionJson(const PartitionRecord& r, int index) {
  return {{"index", index},
          {"disk", r.diskNumber},
          {"letter", letterText(r.letter)},
          {"kind", r.kind},
          {"table_sector", r.tableSector},
          {"extended_base", r.extendedBase},
          {"fs", codepageText(r.fsNameText())},
          {"label", codepageText(r.labelText())},
          {"start_sector", r.startSector},
          {"sectors_per_cluster", r.sectorsPerCluster},
          {"bytes_per_sector", r.bytesPerSector},
          {"free_bytes", r.freeBytes},
          {"length", r.length},
          {"type", r.type}};
}

}  // namespace velk::cli
