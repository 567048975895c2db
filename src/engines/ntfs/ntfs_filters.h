#pragma once
// The tests a found NTFS record passes before it is listed: the type preset, the name
// mask, the folder filter and the result filter of the scan.

#include <string>
#include <string_view>
#include <vector>

#include "engines/ntfs/ntfs_file_record.h"
#include "workspace/file_filter.h"
#include "workspace/scan_options.h"

namespace velk {

// Spaces trimmed from both ends.
std::string trimSpaces(std::string_view text);

// Pictures (3) and mail (6) presets: the name must end with one of the preset's
// extensions, compared case-sensitively. Other presets accept every name.
bool ntfsPresetAccepts(int preset, std::string_view name);

// An empty mask or one containing "*.*" accepts everything. Otherwise the lowered mask is
// cut into tokens at spaces, commas and semicolons; a token with "*" passes when each of
// its pieces around the stars occurs in the lowered name, a token without one when it
// occurs in the name.
bool ntfsNameMaskAccepts(std::string_view mask, std::string_view name);

// The folder filter ("C:\Docs", or a path below the root): the record's folder path,
// joined top first with backslashes, must begin with it. A drive root alone ("C:\")
// means the whole volume.
bool ntfsFolderFilterAccepts(std::string_view filter, const std::vector<std::string>& folderNames);

// The result filter: extension list (when a category is chosen), creation date, size and
// name text, in that order.
bool ntfsResultFilterAccepts(const FileFilter& filter, const NtfsFileRecord& record);

}  // namespace velk
