#include "drivers/mail_drivers.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mail/mail_repair.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

// One folder per process, removed at exit.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "velk-mail-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data())) m_path = pattern;
  }
  ~ScratchFolder() {
    std::error_code ec;
    if (!m_path.empty()) fs::remove_all(m_path, ec);
  }
  const fs::path& path() const { return m_path; }

 private:
  fs::path m_path;
};

std::vector<uint8_t> contents(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The copy equals the source from `from` on (the rewritten header words come before), and
// is as long as the source, or as the header when the source is shorter.
bool sameAfter(const std::vector<uint8_t>& copy, const uint8_t* data, size_t size, size_t from) {
  if (copy.size() != std::max(size, from)) return false;
  for (size_t i = from; i < size; ++i)
    if (copy[i] != data[i]) return false;
  return true;
}

}  // namespace

bool fuzzMailRepair(const uint8_t* data, size_t size) {
  static const ScratchFolder scratch;
  if (scratch.path().empty()) return true;
  const fs::path source = scratch.path() / "store";
  const fs::path output = scratch.path() / "repaired";
  {
    std::ofstream out(source, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    if (!out) return true;  // the scratch disk is full: nothing to learn from this run
  }
  const int64_t dbx = repairDbx(source, output);
  if (dbx == kMailRepairFailed) return false;
  const std::vector<uint8_t> dbxCopy = contents(output);
  if (!sameAfter(dbxCopy, data, size, dbx == kMailUnsupportedFormat ? 0 : 8)) return false;

  const int64_t pst = repairPst(source, output);
  if (pst != 0) return false;
  return sameAfter(contents(output), data, size, 4);
}

}  // namespace velk
