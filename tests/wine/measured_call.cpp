#include "measured_call.h"

// bw_measured_call(function, words, count, result): pushes the words (last
// first), calls, stores EDX:EAX and returns the bytes the callee removed. The
// stack pointer is kept in EDI, which the callee must preserve, and restored
// afterwards whatever the callee did to ESP.
extern "C" int32_t bw_measured_call(void* function, const uint32_t* words, uint32_t count,
                                    uint64_t* result);

asm(R"(
    .text
    .globl _bw_measured_call
_bw_measured_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    movl %esp, %edi
1:  testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:  call *8(%ebp)
    movl 20(%ebp), %ecx
    movl %eax, (%ecx)
    movl %edx, 4(%ecx)
    movl %esp, %eax
    subl %edi, %eax
    movl 16(%ebp), %ecx
    shll $2, %ecx
    addl %ecx, %eax
    movl %edi, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

namespace bw::wine {

CallResult MeasuredCall(void* function, const Args& args) {
  CallResult r;
  r.removed = bw_measured_call(function, args.words().data(),
                               static_cast<uint32_t>(args.words().size()), &r.value);
  return r;
}

}  // namespace bw::wine
