#pragma once
// Text formats shared by the row texts and summary lines of the views.

#include <cstdint>
#include <string>

namespace velk {

// "%d files - %.2f Byte|KB|MB|GB" of a summary line.
std::string summaryLine(uint64_t count, uint64_t bytes);
// NTFS and RAW size column: "%dB", "%0.1fKB", "%0.1fMB", "%0.1fGB".
std::string sizeTextNtfs(uint64_t size);
// FAT size column: "%d Byte", "%.2f KB", "%.2f MB".
std::string sizeTextFat(uint64_t size);
// EXT size column: "%d B", "%5.2f KB", "%5.2f MB", "%5.2f GB".
std::string sizeTextExt(uint64_t size);
// Seconds since 1970 (UTC) to local broken-down time; false when out of range.
bool localTimeOf(int64_t seconds, struct tm& out);
// FILETIME (100 ns since 1601) to seconds since 1970.
int64_t filetimeToUnix(uint64_t filetime);
// Eight upper-case hexadecimal digits (how %p prints numbers in our texts).
std::string hex8(uint64_t value);

// -1, 0 or 1 as a is below, equal to or above b: the sort keys of the list columns.
template <typename T>
int threeWay(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace velk
