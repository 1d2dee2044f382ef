// MeasuredCall: calls a function the way the legacy host calls a plug-in's
// export (stdcall: arguments pushed right to left, the callee removes them) and
// measures how many argument bytes the callee actually removed. A 64-bit
// argument is two words, low half first. 32-bit x86 only.
//
// Thread-safety: none needed (no state).
#pragma once

#include <cstdint>
#include <vector>

namespace bw::wine {

struct CallResult {
  uint64_t value = 0;   // EDX:EAX after the call
  int32_t removed = 0;  // argument bytes the callee removed from the stack
  uint32_t eax() const { return static_cast<uint32_t>(value); }
};

// The argument words of one call, in the host's order.
class Args {
 public:
  Args& i32(int32_t v) {
    words_.push_back(static_cast<uint32_t>(v));
    return *this;
  }
  Args& i64(int64_t v) {
    words_.push_back(static_cast<uint32_t>(static_cast<uint64_t>(v)));
    words_.push_back(static_cast<uint32_t>(static_cast<uint64_t>(v) >> 32));
    return *this;
  }
  Args& text(const char* p) {
    words_.push_back(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)));
    return *this;
  }
  const std::vector<uint32_t>& words() const { return words_; }
  int32_t bytes() const { return static_cast<int32_t>(words_.size() * 4); }

 private:
  std::vector<uint32_t> words_;
};

CallResult MeasuredCall(void* function, const Args& args);

}  // namespace bw::wine
