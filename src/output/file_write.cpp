#include "output/file_write.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>

#include "output/output_folder.h"
#include "output/write_guard.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

Status writeInto(const OutputDir& dir, const std::string& name, ByteSpan bytes, Replace replace) {
  const EntryKind existing = dir.entry(name);
  if (replace == Replace::Never && existing != EntryKind::None)
    return fail(usageError("'" + (dir.path() / name).string() + "' exists already"));
  // Only a regular file is ever replaced: a rename over a device node, a folder or a link
  // would put a file where the system expects something else.
  if (existing != EntryKind::None && existing != EntryKind::File)
    return fail(usageError("'" + (dir.path() / name).string() + "' is not a regular file"));
  auto file = OutputFile::create(dir, name);
  if (!file) return fail(file.error());
  (*file)->skipHash();
  if (!(*file)->write(bytes.data(), bytes.size())) return fail((*file)->failure());
  // On stable storage before it carries the real name: the caller may touch a disk next.
  return (*file)->commit(replace, /*sync=*/true);
}

}  // namespace

Status writeFileAtomically(const fs::path& target, ByteSpan bytes, Replace replace) {
  if (target.filename().empty()) return fail(usageError("'" + target.string() + "' names no file"));
  if (Status allowed = checkWriteTarget(target); !allowed) return allowed;
  const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
  auto dir = OutputDir::openRoot(folder, /*create=*/false);
  if (!dir) return fail(dir.error());
  return writeInto(*dir, target.filename().string(), bytes, replace);
}

Result<fs::path> writeFileUnderFreeName(const fs::path& folder, std::string_view stem, std::string_view extension,
                                        ByteSpan bytes) {
  if (Status allowed = checkWriteTarget(folder / (std::string(stem) + std::string(extension))); !allowed)
    return fail(allowed.error());
  auto dir = OutputDir::openRoot(folder);
  if (!dir) return fail(dir.error());
  for (int n = 0; n < 1000; ++n) {
    const std::string name = std::string(stem) + (n ? "-" + std::to_string(n) : std::string()) + std::string(extension);
    Status written = writeInto(*dir, name, bytes, Replace::Never);
    if (written) return folder / name;
    if (!written.error().is(ErrorKind::Usage)) return fail(written.error());
  }
  return fail(ioError("writing into '" + folder.string() + "'", EEXIST));
}

std::optional<std::time_t> fileBirthTime(const fs::path& path) {
  struct statx sx {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &sx) == 0) {
    if (sx.stx_mask & STATX_BTIME) return std::time_t(sx.stx_btime.tv_sec);
    return std::time_t(sx.stx_mtime.tv_sec);
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return st.st_mtime;
}

}  // namespace velk
