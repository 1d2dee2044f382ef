#include "util/memory.h"

#include <cstdlib>  // defines __GLIBC__ where it is glibc
#include <mutex>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace bw {

void ReturnFreedMemory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

void KeepLargeBlocksReturnable() {
#if defined(__GLIBC__)
  static std::once_flag fixed;
  std::call_once(fixed, [] { mallopt(M_MMAP_THRESHOLD, 128 * 1024); });
#endif
}

}  // namespace bw
