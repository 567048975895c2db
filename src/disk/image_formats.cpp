#include "disk/image_formats.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

#include <array>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "disk/image_libraries.h"
#include "disk/piecewise_read.h"
#include "disk/vhd_dynamic.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

// Why a container did not open, in the library's words, before it becomes an Error.
struct ImageOpenFailure {
  int code = 0;        // errno-style: EINVAL damaged or unsupported, ENOENT a missing part
  std::string reason;  // a sentence fragment: what the library (or the check) found
};

using OpenResult = tl::expected<std::unique_ptr<BlockDevice>, ImageOpenFailure>;
using Identity = std::optional<std::pair<uint64_t, uint64_t>>;

// A differencing chain deeper than this is refused; it also ends a chain whose parent
// names lead back to a member.
constexpr int kMaxParentDepth = 8;

// First bytes of each container, as the formats define them.
struct Signature {
  std::string_view bytes;
  ImageFormat format;
};
constexpr Signature kHeadSignatures[] = {
    {{"EVF\x09\x0d\x0a\xff\x00", 8}, ImageFormat::Ewf},   // EWF-E01 (and SMART)
    {{"LVF\x09\x0d\x0a\xff\x00", 8}, ImageFormat::Ewf},   // EWF-L01
    {{"EVF2\x0d\x0a\x81\x00", 8}, ImageFormat::Ewf},      // EWF2-Ex01
    {{"LEF2\x0d\x0a\x81\x00", 8}, ImageFormat::Ewf},      // EWF2-Lx01
    {"vhdxfile", ImageFormat::Vhdx},
    {"conectix", ImageFormat::Vhd},   // the footer copy a dynamic or differencing VHD starts with
    {"KDMV", ImageFormat::Vmdk},      // hosted sparse extent
    {"COWD", ImageFormat::Vmdk},      // ESX sparse extent
    {"# Disk DescriptorFile", ImageFormat::Vmdk},
    {{"QFI\xfb", 4}, ImageFormat::Qcow},
};
constexpr size_t kVhdFooterSize = 512;

// What a device remembers of the file it was opened from.
Identity identityOf(const fs::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return std::make_pair(uint64_t(st.st_dev), uint64_t(st.st_ino));
}

// The bytes a read of the buffer's size at offset gave (none on failure).
template <size_t N>
ByteSpan readAt(BlockDevice& file, uint64_t offset, std::array<uint8_t, N>& buffer) {
  const int64_t got = file.readAt(offset, buffer.data(), buffer.size());
  return ByteSpan(buffer.data(), size_t(std::max<int64_t>(got, 0)));
}
template <size_t N>
ByteSpan readHead(const fs::path& path, std::array<uint8_t, N>& buffer) {
  auto file = openDeviceFile(path, Access::Read);
  return file ? readAt(**file, 0, buffer) : ByteSpan();
}

ImageOpenFailure refusal(int code, std::string reason) { return {code, std::move(reason)}; }

// "<what went wrong> (<library>: <its reason>)"
template <class Api>
ImageOpenFailure libraryRefusal(const ErrorBox<Api>& error, std::string_view what) {
  return refusal(EINVAL, fmt::format("{} ({}: {})", what, Api::kLibrary, error.reason()));
}
std::string notReadable(ImageFormat format) { return fmt::format("not a readable {} image", imageFormatName(format)); }

// One open container. Reads go through the library handle at the front of the chain
// (its parents follow it); these libraries are never written through.
template <class Api>
class ContainerDevice : public BlockDevice {
 public:
  // piece: when not 0, no library read crosses a multiple of it.
  ContainerDevice(std::vector<HandlePtr<Api>> chain, uint64_t size, Identity identity, uint64_t piece = 0)
      : m_chain(std::move(chain)), m_size(size), m_identity(identity), m_piece(piece) {}
  ~ContainerDevice() override {
    for (auto& handle : m_chain) handle.reset();  // a child before the parent it reads through
  }

  int64_t readAt(uint64_t offset, void* buffer, size_t length) override {
    const int64_t done = readInPieces(m_size, m_piece, offset, buffer, length, [this](uint64_t at, uint8_t* out, size_t n) {
      ErrorBox<Api> error;
      const ssize_t got = Api::read(handle(), out, n, off64_t(at), error.out());
      return got < 0 ? int64_t(-EIO) : int64_t(got);
    });
    return vetRead(offset, done);
  }
  int64_t writeAt(uint64_t, const void*, size_t) override { return -EBADF; }
  uint64_t size() const override { return m_size; }
  Identity identity() const override { return m_identity; }

 protected:
  typename Api::Handle* handle() const { return m_chain.front().get(); }
  // The bytes of [offset, offset + got) the caller may trust (a container can hand back
  // filler for data it knows to be bad).
  virtual int64_t vetRead(uint64_t /*offset*/, int64_t got) { return got; }

 private:
  std::vector<HandlePtr<Api>> m_chain;
  uint64_t m_size;
  Identity m_identity;
  uint64_t m_piece;
};

// libewf returns a chunk whose checksum fails (or whose data is gone) as filler and only
// records the sectors it spans. Those sectors read as an I/O error here, so a scan marks
// them unreadable instead of taking the filler for the disk's bytes.
class EwfDevice final : public ContainerDevice<EwfApi> {
 public:
  EwfDevice(std::vector<HandlePtr<EwfApi>> chain, uint64_t size, Identity identity, uint32_t bytesPerSector)
      : ContainerDevice(std::move(chain), size, identity), m_bytesPerSector(bytesPerSector) {}

 protected:
  int64_t vetRead(uint64_t offset, int64_t got) override {
    if (got <= 0) return got;
    noteChecksumErrors();
    const uint64_t end = offset + uint64_t(got);
    uint64_t firstBad = end;
    for (const auto& [from, to] : m_bad)
      if (from < end && to > offset) firstBad = std::min(firstBad, std::max(from, offset));
    if (firstBad == offset) return -EIO;
    return int64_t(firstBad - offset);
  }

 private:
  void noteChecksumErrors() {
    ErrorBox<EwfApi> error;
    uint32_t count = 0;
    if (libewf_handle_get_number_of_checksum_errors(handle(), &count, error.out()) != 1) return;
    for (; m_seenErrors < count; ++m_seenErrors) {
      uint64_t first = 0, sectors = 0;
      if (libewf_handle_get_checksum_error(handle(), m_seenErrors, &first, &sectors, error.out()) != 1) continue;
      const uint64_t limit = UINT64_MAX / m_bytesPerSector;
      if (first >= limit || sectors == 0) continue;
      const uint64_t from = first * m_bytesPerSector;
      const uint64_t to = sectors >= limit - first ? UINT64_MAX : (first + sectors) * m_bytesPerSector;
      if (std::find(m_bad.begin(), m_bad.end(), std::make_pair(from, to)) == m_bad.end()) m_bad.emplace_back(from, to);
    }
  }

  uint32_t m_bytesPerSector;
  uint32_t m_seenErrors = 0;
  std::vector<std::pair<uint64_t, uint64_t>> m_bad;  // byte ranges [from, to)
};

template <class Api>
tl::expected<HandlePtr<Api>, ImageOpenFailure> newHandle() {
  typename Api::Handle* raw = nullptr;
  ErrorBox<Api> error;
  if (Api::init(&raw, error.out()) != 1) return tl::unexpected(refusal(ENOMEM, error.reason()));
  return HandlePtr<Api>(raw);
}

template <class Api>
tl::expected<uint64_t, ImageOpenFailure> mediaSizeOf(ImageFormat format, typename Api::Handle* handle) {
  ErrorBox<Api> error;
  size64_t size = 0;
  if (Api::mediaSize(handle, &size, error.out()) != 1) return tl::unexpected(libraryRefusal(error, notReadable(format)));
  if (size == 0) return tl::unexpected(refusal(EINVAL, fmt::format("the {} image holds no disk data", imageFormatName(format))));
  return uint64_t(size);
}

// Some containers open with their data cut off (the tables up front, the clusters gone):
// one that cannot give its first sector is refused rather than attached as a disk that
// reads nothing.
template <class Api>
std::optional<ImageOpenFailure> firstSectorRefusal(ImageFormat format, typename Api::Handle* handle, uint64_t size) {
  std::array<uint8_t, 512> sector{};
  ErrorBox<Api> error;
  const size_t length = size_t(std::min<uint64_t>(size, sector.size()));
  if (Api::read(handle, sector.data(), length, 0, error.out()) == ssize_t(length)) return std::nullopt;
  return libraryRefusal(error, fmt::format("the first sector of the {} image cannot be read", imageFormatName(format)));
}

// The segment files of an EWF image (.E01, .E02 … .EAA …, or .Ex01 …) are found from
// the first by name; a segment under another name is opened alone.
std::vector<std::string> ewfSegments(const fs::path& path) {
  const std::string first = path.string();
  std::vector<std::string> names;
  ErrorBox<EwfApi> error;
  char** globbed = nullptr;
  int count = 0;
  if (libewf_glob(first.c_str(), first.size(), LIBEWF_FORMAT_UNKNOWN, &globbed, &count, error.out()) == 1) {
    names.assign(globbed, globbed + std::max(count, 0));
    libewf_glob_free(globbed, count, nullptr);
  }
  if (names.empty()) names.push_back(first);
  return names;
}

OpenResult openEwf(const fs::path& path) {
  auto handle = newHandle<EwfApi>();
  if (!handle) return tl::unexpected(handle.error());
  std::vector<std::string> names = ewfSegments(path);
  std::vector<char*> argv;
  for (auto& name : names) argv.push_back(name.data());
  ErrorBox<EwfApi> error;
  if (libewf_handle_open(handle->get(), argv.data(), int(argv.size()), LIBEWF_OPEN_READ, error.out()) != 1)
    return tl::unexpected(libraryRefusal(error, notReadable(ImageFormat::Ewf)));
  // The library opens a cut-short segment set and reads its missing chunks as filler.
  if (libewf_handle_segment_files_corrupted(handle->get(), error.out()) != 0)
    return tl::unexpected(refusal(EINVAL, "its EWF segment files are incomplete (a segment is cut short or a later "
                                          "segment is missing)"));
  uint32_t bytesPerSector = 0;
  if (libewf_handle_get_bytes_per_sector(handle->get(), &bytesPerSector, error.out()) != 1 || bytesPerSector == 0)
    return tl::unexpected(refusal(EINVAL, "its EWF header gives no sector size"));
  auto size = mediaSizeOf<EwfApi>(ImageFormat::Ewf, handle->get());
  if (!size) return tl::unexpected(size.error());
  if (auto refused = firstSectorRefusal<EwfApi>(ImageFormat::Ewf, handle->get(), *size)) return tl::unexpected(*refused);
  std::vector<HandlePtr<EwfApi>> chain;
  chain.push_back(std::move(*handle));
  return std::make_unique<EwfDevice>(std::move(chain), *size, identityOf(path), bytesPerSector);
}

// A parent named by a differencing image: as named (relative names from the child's
// folder), else the file of that name next to the child (names recorded on another
// machine carry its folders).
std::optional<fs::path> findParent(const fs::path& child, const std::string& name) {
  const fs::path folder = child.parent_path();
  const fs::path given(name);
  const size_t slash = name.find_last_of("/\\");
  const std::array<fs::path, 2> candidates = {given.is_absolute() ? given : folder / given,
                                              folder / name.substr(slash == std::string::npos ? 0 : slash + 1)};
  std::error_code ec;
  for (const auto& candidate : candidates)
    if (fs::is_regular_file(candidate, ec)) return candidate;
  return std::nullopt;
}

// VHD/VHDX, VMDK and QCOW: the image, then the parents of a differencing image, each
// opened by its library and attached to its child.
template <class Api>
OpenResult openChain(const fs::path& path, ImageFormat format) {
  std::vector<HandlePtr<Api>> chain;
  uint64_t piece = 0;  // the smallest allocation unit along the chain
  fs::path current = path;
  for (int depth = 0;; ++depth) {
    auto handle = newHandle<Api>();
    if (!handle) return tl::unexpected(handle.error());
    ErrorBox<Api> error;
    if (Api::open(handle->get(), current, error.out()) != 1) {
      ImageOpenFailure failure = libraryRefusal(error, notReadable(format));
      if (depth > 0) failure.reason = fmt::format("its parent image '{}' is {}", current.string(), failure.reason);
      return tl::unexpected(failure);
    }
    if (std::string why = Api::unsupported(handle->get()); !why.empty())
      return tl::unexpected(refusal(EINVAL, why));
    if (!chain.empty() && Api::setParent(chain.back().get(), handle->get(), error.out()) != 1)
      return tl::unexpected(refusal(EINVAL, fmt::format("its parent image '{}' does not fit it ({}: {})",
                                                        current.string(), Api::kLibrary, error.reason())));
    std::string parentName;
    const int hasParent = Api::parentName(handle->get(), parentName, error.out());
    chain.push_back(std::move(*handle));
    if (hasParent != 1) break;
    if (depth == kMaxParentDepth)
      return tl::unexpected(refusal(EINVAL, fmt::format("its chain of parent images is longer than {}", kMaxParentDepth)));
    auto parent = findParent(current, parentName);
    if (!parent)
      return tl::unexpected(refusal(ENOENT, fmt::format("it is a differencing image and its parent '{}' is not next "
                                                        "to it",
                                                        parentName)));
    if (!Api::acceptsParent(probeImageFormat(*parent)))
      return tl::unexpected(refusal(EINVAL, fmt::format("its parent '{}' is not a {} image", parent->string(),
                                                        imageFormatName(format))));
    current = *parent;
    if (depth == 0) piece = Api::allocationUnit(path);
    piece = std::min(piece, Api::allocationUnit(current));
  }
  auto size = mediaSizeOf<Api>(format, chain.front().get());
  if (!size) return tl::unexpected(size.error());
  if (auto refused = firstSectorRefusal<Api>(format, chain.front().get(), *size)) return tl::unexpected(*refused);
  return std::make_unique<ContainerDevice<Api>>(std::move(chain), *size, identityOf(path), piece);
}

// "libvhdi_file_footer_read_data: unsupported signature." → "unsupported signature".
std::string messageOfFrame(std::string_view line) {
  const size_t colon = line.find(": ");
  if (colon != std::string_view::npos && line.substr(0, colon).find(' ') == std::string_view::npos)
    line.remove_prefix(colon + 2);
  while (!line.empty() && (line.back() == '.' || line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
  return std::string(line);
}

}  // namespace

std::string reasonFromBacktrace(std::string_view backtrace) {
  std::vector<std::string> messages;
  while (!backtrace.empty() && messages.size() < 2) {
    const size_t end = std::min(backtrace.find('\n'), backtrace.size());
    std::string message = messageOfFrame(backtrace.substr(0, end));
    backtrace.remove_prefix(std::min(end + 1, backtrace.size()));
    if (!message.empty() && (messages.empty() || messages.front() != message)) messages.push_back(std::move(message));
  }
  if (messages.empty()) return "no reason given";
  return messages.size() == 1 ? messages[0] : messages[1] + ": " + messages[0];
}

uint64_t qcowClusterBytes(const fs::path& path) {
  constexpr uint64_t kSmallest = 512;
  std::array<uint8_t, 64> header{};
  const ByteSpan bytes = readHead(path, header);
  // QCOW header: version (be32) at 4; cluster_bits is the byte at 32 in version 1 and
  // the be32 at 20 from version 2 on, 9 to 21 by the format.
  const uint32_t version = be32At(bytes, 4);
  const uint32_t bits = version == 1 ? u8At(bytes, 32) : be32At(bytes, 20);
  return bits >= 9 && bits <= 21 ? uint64_t(1) << bits : kSmallest;
}

std::string_view imageFormatName(ImageFormat format) {
  switch (format) {
    case ImageFormat::Raw: return "raw";
    case ImageFormat::Ewf: return "EWF";
    case ImageFormat::Vhd: return "VHD";
    case ImageFormat::Vhdx: return "VHDX";
    case ImageFormat::Vmdk: return "VMDK";
    case ImageFormat::Qcow: return "QCOW";
  }
  return "raw";
}

ImageFormat detectImageFormat(ByteSpan head, ByteSpan tail) {
  for (const auto& signature : kHeadSignatures)
    if (matchesAt(head, 0, signature.bytes)) return signature.format;
  // A fixed VHD is the raw disk followed by its footer (511 bytes long in the oldest
  // images, so the cookie may sit one byte in).
  if (tail.size() == kVhdFooterSize && (matchesAt(tail, 0, "conectix") || matchesAt(tail, 1, "conectix")))
    return ImageFormat::Vhd;
  return ImageFormat::Raw;
}

ImageFormat probeImageFormat(const fs::path& path) {
  std::array<uint8_t, 512> head{}, tail{};
  auto file = openDeviceFile(path, Access::Read);
  if (!file) return ImageFormat::Raw;
  const uint64_t size = (*file)->size();
  const ByteSpan tailBytes = size >= tail.size() ? readAt(**file, size - tail.size(), tail) : ByteSpan();
  return detectImageFormat(readAt(**file, 0, head), tailBytes);
}

namespace {

OpenResult openContainer(const fs::path& path, ImageFormat format) {
  switch (format) {
    case ImageFormat::Ewf: return openEwf(path);
    case ImageFormat::Vhd: {
      auto checked = openChain<VhdiApi>(path, format);
      if (!checked) return checked;
      // Accepted by libvhdi: a dynamic image is then read block by block (vhd_dynamic.h).
      auto file = openDeviceFile(path, Access::Read);
      if (!file) return checked;
      auto dynamic = openDynamicVhd(std::move(*file));
      if (dynamic && (*dynamic)->size() == (*checked)->size()) return std::move(*dynamic);
      return checked;
    }
    case ImageFormat::Vhdx: return openChain<VhdiApi>(path, format);
    case ImageFormat::Vmdk: return openChain<VmdkApi>(path, format);
    case ImageFormat::Qcow: return openChain<QcowApi>(path, format);
    case ImageFormat::Raw: break;
  }
  return tl::unexpected(refusal(EINVAL, "not a disk-image container"));
}

}  // namespace

Result<std::unique_ptr<BlockDevice>> openImageContainer(const fs::path& path, ImageFormat format) {
  auto opened = openContainer(path, format);
  if (opened) return std::move(*opened);
  const ImageOpenFailure& why = opened.error();
  Error error = why.code == ENOENT ? notFoundError({}) : unsupportedError({});
  error.detail = "cannot open image '" + path.string() + "': " + why.reason;
  error.errnum = why.code;
  return fail(std::move(error));
}

}  // namespace velk
