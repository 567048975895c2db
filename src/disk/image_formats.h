#pragma once
// Disk-image containers as drives: forensic (EWF: .E01/.Ex01, split into segments) and
// virtual-machine images (VHD, VHDX, VMDK, QCOW) are read through their Debian libraries
// (libewf, libvhdi, libvmdk, libqcow), read-only, with the media they hold as the device.
// The container is told by content, never by the file's extension; a file that carries
// no container signature is a raw image and stays a plain file.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

#include "formats/bytes.h"
#include "support/error.h"
#include "disk/device.h"

namespace velk {

enum class ImageFormat : uint8_t { Raw = 0, Ewf, Vhd, Vhdx, Vmdk, Qcow };

// "raw", "EWF", "VHD", "VHDX", "VMDK", "QCOW".
std::string_view imageFormatName(ImageFormat format);

// The container whose signature the file's first bytes (head, from offset 0) or its last
// 512 bytes (tail: the footer of a fixed VHD) carry; Raw when none does.
ImageFormat detectImageFormat(ByteSpan head, ByteSpan tail);
// The same on a file. Raw when the file cannot be read (opening it reports why).
ImageFormat probeImageFormat(const std::filesystem::path& path);

// Opens the container read-only; the device's size is the media size. Each call opens
// handles of its own, so every reader owns an independent device. Parent (backing) images
// of a differencing image are looked for next to it and opened with it. A container that
// cannot be read fails with "cannot open image '<path>': <the library's reason>" (NotFound
// when a part of it is missing).
Result<std::unique_ptr<BlockDevice>> openImageContainer(const std::filesystem::path& path, ImageFormat format);

}  // namespace velk
