#include "disk/memory_hint.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace velk {

void adviseHugePages(void* p, size_t bytes) {
#if defined(MADV_HUGEPAGE)
  (void)::madvise(p, bytes, MADV_HUGEPAGE);
#else
  (void)p;
  (void)bytes;
#endif
}

}  // namespace velk
