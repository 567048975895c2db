#include "disk/table_reread.h"

#include <cerrno>

#include "disk/device.h"

#if defined(__linux__)
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace velk {

TableRereadResult rereadPartitionTable(int driveNumber) {
  auto source = DeviceNamespace::instance().drive(driveNumber);
  if (!source) return {TableRereadStatus::Failed, ENOENT};
  if (!source->isBlockDevice) return {TableRereadStatus::NotNeeded, 0};
#if defined(__linux__)
  // Read access is enough for the request; the kernel checks CAP_SYS_ADMIN itself.
  const int fd = ::open(source->path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {TableRereadStatus::Failed, errno};
  int rc;
  do {
    rc = ::ioctl(fd, BLKRRPART);
  } while (rc != 0 && errno == EINTR);
  const int error = rc == 0 ? 0 : errno;
  ::close(fd);
  if (rc != 0) return {TableRereadStatus::Failed, error};
  return {TableRereadStatus::Reread, 0};
#else
  return {TableRereadStatus::Failed, ENOSYS};
#endif
}

}  // namespace velk
