// Handing freed heap memory back to the system. The C library keeps what a
// burst freed (a backlog of thousands of small blocks) for later use; after a
// large drain that would stay resident for the life of the service.
#pragma once

namespace bw {

// glibc: malloc_trim(0), which also releases whole free pages inside the heap
// and every thread's arena. Elsewhere (the MinGW plug-in) nothing.
void ReturnFreedMemory();

// glibc raises its mmap threshold after each large block it frees, after which
// request-sized blocks stay in the threads' arenas, which malloc_trim does not
// shrink (a 1 MB panel change left ~2.5 MB per worker resident). Fixed at its
// default, blocks of 128 KB and more go back to the system as they are freed.
// Process-wide; the first call sets it, later ones do nothing. Elsewhere nothing.
void KeepLargeBlocksReturnable();

}  // namespace bw
