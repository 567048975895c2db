#pragma once
// The libyal image libraries behind one shape: each has an error object with a backtrace,
// and a handle that opens read-only, reads at an offset, names its parent image and
// closes. A traits struct per library names its functions; ErrorBox and HandlePtr own
// what the libraries allocate. Internal to the image-format layer.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include "disk/image_formats.h"

namespace velk {

// libyal backtraces list one "function: message." per line, innermost call first. The
// two innermost messages say what was wrong ("unable to read file footer: unsupported
// signature"); the function names and the outer frames only repeat it.
std::string reasonFromBacktrace(std::string_view backtrace);

// The cluster size a QCOW file's header gives (512 when the header cannot be read or
// gives none a QCOW file can have).
uint64_t qcowClusterBytes(const std::filesystem::path& path);

template <class Api>
class ErrorBox {
 public:
  ErrorBox() = default;
  ErrorBox(const ErrorBox&) = delete;
  ErrorBox& operator=(const ErrorBox&) = delete;
  ~ErrorBox() { clear(); }
  // For the next call: an earlier error is dropped first.
  typename Api::Error** out() {
    clear();
    return &m_error;
  }
  std::string reason() const {
    if (!m_error) return "no reason given";
    std::vector<char> text(4096);
    if (Api::backtrace(m_error, text.data(), text.size()) < 0) return "no reason given";
    text.back() = '\0';
    return reasonFromBacktrace(text.data());
  }

 private:
  void clear() {
    if (m_error) Api::freeError(&m_error);
    m_error = nullptr;
  }
  typename Api::Error* m_error = nullptr;
};

template <class Api>
struct HandleCloser {
  void operator()(typename Api::Handle* handle) const { Api::release(handle); }
};
template <class Api>
using HandlePtr = std::unique_ptr<typename Api::Handle, HandleCloser<Api>>;

// Reads a library's UTF-8 name (size first, then the text): 1 with the name, 0 when the
// image names none, -1 on error.
template <class Handle, class Error, class SizeFn, class TextFn>
int utf8Name(Handle* handle, std::string& name, Error** error, SizeFn sizeOf, TextFn textOf) {
  size_t size = 0;
  int rc = sizeOf(handle, &size, error);
  if (rc != 1 || size <= 1) return rc == 1 ? 0 : rc;
  std::vector<uint8_t> text(size);
  if (textOf(handle, text.data(), text.size(), error) != 1) return -1;
  name.assign(reinterpret_cast<const char*>(text.data()), size - 1);
  name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
  return name.empty() ? 0 : 1;
}

struct EwfApi {
  using Handle = libewf_handle_t;
  using Error = libewf_error_t;
  static constexpr std::string_view kLibrary = "libewf";
  static int init(Handle** h, Error** e) { return libewf_handle_initialize(h, e); }
  static void release(Handle* h) {
    (void)libewf_handle_close(h, nullptr);
    (void)libewf_handle_free(&h, nullptr);
  }
  static ssize_t read(Handle* h, void* buffer, size_t size, off64_t offset, Error** e) {
    return libewf_handle_read_random(h, buffer, size, offset, e);
  }
  static int mediaSize(Handle* h, size64_t* size, Error** e) { return libewf_handle_get_media_size(h, size, e); }
  static int backtrace(Error* e, char* text, size_t size) { return libewf_error_backtrace_sprint(e, text, size); }
  static void freeError(Error** e) { libewf_error_free(e); }
};

struct VhdiApi {
  using Handle = libvhdi_file_t;
  using Error = libvhdi_error_t;
  static constexpr std::string_view kLibrary = "libvhdi";
  static int init(Handle** h, Error** e) { return libvhdi_file_initialize(h, e); }
  static int open(Handle* h, const std::filesystem::path& path, Error** e) {
    return libvhdi_file_open(h, path.c_str(), libvhdi_get_access_flags_read(), e);
  }
  static void release(Handle* h) {
    (void)libvhdi_file_close(h, nullptr);
    (void)libvhdi_file_free(&h, nullptr);
  }
  static ssize_t read(Handle* h, void* buffer, size_t size, off64_t offset, Error** e) {
    return libvhdi_file_read_buffer_at_offset(h, buffer, size, offset, e);
  }
  static int mediaSize(Handle* h, size64_t* size, Error** e) { return libvhdi_file_get_media_size(h, size, e); }
  // Differencing VHD/VHDX images are refused (unsupported), so no chain forms.
  static int parentName(Handle*, std::string&, Error**) { return 0; }
  static int setParent(Handle*, Handle*, Error**) { return -1; }
  static bool acceptsParent(ImageFormat) { return false; }
  static uint64_t allocationUnit(const std::filesystem::path&) { return 0; }
  // No differencing VHD could be made to check libvhdi's reads through a parent against
  // (qemu-img makes none), and libqcow's went wrong across clusters: not trusted.
  static std::string unsupported(Handle* h) {
    uint32_t type = 0;
    if (libvhdi_file_get_disk_type(h, &type, nullptr) == 1 && type == LIBVHDI_DISK_TYPE_DIFFERENTIAL)
      return "differencing VHD images (read through their parent) are not supported";
    return {};
  }
  static int backtrace(Error* e, char* text, size_t size) { return libvhdi_error_backtrace_sprint(e, text, size); }
  static void freeError(Error** e) { libvhdi_error_free(e); }
};

struct VmdkApi {
  using Handle = libvmdk_handle_t;
  using Error = libvmdk_error_t;
  static constexpr std::string_view kLibrary = "libvmdk";
  static int init(Handle** h, Error** e) { return libvmdk_handle_initialize(h, e); }
  // A descriptor names its extent files relative to its own folder.
  static int open(Handle* h, const std::filesystem::path& path, Error** e) {
    if (libvmdk_handle_open(h, path.c_str(), libvmdk_get_access_flags_read(), e) != 1) return -1;
    const std::string folder = path.has_parent_path() ? path.parent_path().string() : std::string(".");
    if (libvmdk_handle_set_extent_data_files_path(h, folder.c_str(), folder.size(), e) != 1) return -1;
    return libvmdk_handle_open_extent_data_files(h, e);
  }
  static void release(Handle* h) {
    (void)libvmdk_handle_close(h, nullptr);
    (void)libvmdk_handle_free(&h, nullptr);
  }
  static ssize_t read(Handle* h, void* buffer, size_t size, off64_t offset, Error** e) {
    return libvmdk_handle_read_buffer_at_offset(h, buffer, size, offset, e);
  }
  static int mediaSize(Handle* h, size64_t* size, Error** e) { return libvmdk_handle_get_media_size(h, size, e); }
  static int parentName(Handle* h, std::string& name, Error** e) {
    return utf8Name(h, name, e, libvmdk_handle_get_utf8_parent_filename_size, libvmdk_handle_get_utf8_parent_filename);
  }
  static int setParent(Handle* child, Handle* parent, Error** e) { return libvmdk_handle_set_parent_handle(child, parent, e); }
  static bool acceptsParent(ImageFormat f) { return f == ImageFormat::Vmdk; }
  // libvmdk reads a range that spans grains of the child and of its parent correctly.
  static uint64_t allocationUnit(const std::filesystem::path&) { return 0; }
  static std::string unsupported(Handle*) { return {}; }
  static int backtrace(Error* e, char* text, size_t size) { return libvmdk_error_backtrace_sprint(e, text, size); }
  static void freeError(Error** e) { libvmdk_error_free(e); }
};

struct QcowApi {
  using Handle = libqcow_file_t;
  using Error = libqcow_error_t;
  static constexpr std::string_view kLibrary = "libqcow";
  static int init(Handle** h, Error** e) { return libqcow_file_initialize(h, e); }
  static int open(Handle* h, const std::filesystem::path& path, Error** e) {
    return libqcow_file_open(h, path.c_str(), libqcow_get_access_flags_read(), e);
  }
  static void release(Handle* h) {
    (void)libqcow_file_close(h, nullptr);
    (void)libqcow_file_free(&h, nullptr);
  }
  static ssize_t read(Handle* h, void* buffer, size_t size, off64_t offset, Error** e) {
    return libqcow_file_read_buffer_at_offset(h, buffer, size, offset, e);
  }
  static int mediaSize(Handle* h, size64_t* size, Error** e) { return libqcow_file_get_media_size(h, size, e); }
  static int parentName(Handle* h, std::string& name, Error** e) {
    return utf8Name(h, name, e, libqcow_file_get_utf8_backing_filename_size, libqcow_file_get_utf8_backing_filename);
  }
  static int setParent(Handle* child, Handle* parent, Error** e) { return libqcow_file_set_parent_file(child, parent, e); }
  static bool acceptsParent(ImageFormat f) { return f == ImageFormat::Qcow; }
  // libqcow (20201213) reads a whole range from the parent when its first cluster is not
  // in the child: reads through a parent go one cluster at a time.
  static uint64_t allocationUnit(const std::filesystem::path& path) { return qcowClusterBytes(path); }
  // Without the key the clusters of an encrypted image are noise.
  static std::string unsupported(Handle* h) {
    uint32_t method = LIBQCOW_ENCRYPTION_METHOD_NONE;
    if (libqcow_file_get_encryption_method(h, &method, nullptr) == 1 && method != LIBQCOW_ENCRYPTION_METHOD_NONE)
      return "the QCOW image is encrypted";
    return {};
  }
  static int backtrace(Error* e, char* text, size_t size) { return libqcow_error_backtrace_sprint(e, text, size); }
  static void freeError(Error** e) { libqcow_error_free(e); }
};

}  // namespace velk
