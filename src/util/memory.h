// Handing freed heap memory back to the system. The C library keeps what a
// burst freed (a backlog of thousands of small blocks) for later use; after a
// large drain that would stay resident for the life of the service.
#pragma once

namespace bw {

// glibc: malloc_trim(0), which also releases whole free pages inside the heap
// and every thread's arena. Elsewhere (the MinGW plug-in) nothing.
void ReturnFreedMemory();

}  // namespace bw
