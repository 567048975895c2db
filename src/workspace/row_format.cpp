#include "workspace/row_format.h"

#include <cstdio>
#include <ctime>

namespace velk {

std::string summaryLine(uint64_t count, uint64_t bytes) {
  char buf[96];
  if (bytes < 1024) {
    std::snprintf(buf, sizeof buf, "%llu files - %.2f Byte", (unsigned long long)count, double(bytes));
    return buf;
  }
  static const char* kUnits[] = {"KB", "MB", "GB"};
  double v = double(bytes) / 1024;
  int unit = 0;
  while (v >= 1024 && unit < 2) {
    v /= 1024;
    ++unit;
  }
  std::snprintf(buf, sizeof buf, "%llu files - %.2f %s", (unsigned long long)count, v, kUnits[unit]);
  return buf;
}

std::string sizeTextNtfs(uint64_t size) {
  char buf[64];
  if (size < 1024) std::snprintf(buf, sizeof buf, "%lluB", (unsigned long long)size);
  else if (size < (1ull << 20)) std::snprintf(buf, sizeof buf, "%0.1fKB", double(size) / 1024);
  else if (size < (1ull << 30)) std::snprintf(buf, sizeof buf, "%0.1fMB", double(size) / 1048576);
  else std::snprintf(buf, sizeof buf, "%0.1fGB", double(size) / 1073741824);
  return buf;
}

std::string sizeTextFat(uint64_t size) {
  char buf[64];
  if (size < 1024) {
    std::snprintf(buf, sizeof buf, "%llu Byte", (unsigned long long)size);
  } else if (double(size) / 1024 > 1024) {
    std::snprintf(buf, sizeof buf, "%.2f MB", double(size) / 1048576);
  } else {
    std::snprintf(buf, sizeof buf, "%.2f KB", double(size) / 1024);
  }
  return buf;
}

std::string sizeTextExt(uint64_t size) {
  char buf[64];
  if (size < 1024) std::snprintf(buf, sizeof buf, "%llu B", (unsigned long long)size);
  else if (size <= 1048575) std::snprintf(buf, sizeof buf, "%5.2f KB", double(size) / 1024);
  else if (size > 1073741823) std::snprintf(buf, sizeof buf, "%5.2f GB", double(size) / 1073741824);
  else std::snprintf(buf, sizeof buf, "%5.2f MB", double(size) / 1048576);
  return buf;
}

bool localTimeOf(int64_t seconds, struct tm& out) {
  std::time_t t = std::time_t(seconds);
  return localtime_r(&t, &out) != nullptr;
}

int64_t filetimeToUnix(uint64_t filetime) {
  constexpr uint64_t kEpochDelta = 11644473600ull;  // seconds from 1601 to 1970
  return int64_t(filetime / 10000000ull) - int64_t(kEpochDelta);
}

std::string hex8(uint64_t value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%08llX", (unsigned long long)value);
  return buf;
}

}  // namespace velk
