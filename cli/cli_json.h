#pragma once
// JSON forms of the catalogue records, shared by every command that prints them.

#include <nlohmann/json.hpp>

#include "disk/records.h"

namespace velk::cli {

nlohmann::json diskJson(const DiskRecord& disk);
// Every field of the record, keyed as `drives --json` prints them, plus "index".
nlohmann::json partitionJson(const PartitionRecord& record, int index);
// Letter as text ("C", or "*" when the partition has none).
std::string letterText(char letter);

}  // namespace velk::cli
