#pragma once
// After a partition table was rewritten, the running system still holds the table it read
// at boot. On Linux the kernel can be asked to read a whole disk's table again (BLKRRPART);
// that fails while a partition of the disk is in use, and then only a restart helps. An
// attached disk image has no kernel view to update.

namespace velk {

enum class TableRereadStatus {
  NotNeeded,  // the drive is an image file (or memory): nothing holds a stale table
  Reread,     // the kernel has read the disk's table again
  Failed,     // the kernel could not (partition busy, no permission, no such drive)
};

struct TableRereadResult {
  TableRereadStatus status = TableRereadStatus::Failed;
  int error = 0;  // errno for Failed
};

// Asks the system to read the table of physical drive `driveNumber` again.
TableRereadResult rereadPartitionTable(int driveNumber);

}  // namespace velk
