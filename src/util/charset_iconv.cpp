// UTF-8 <-> GB18030 through iconv. The only file that knows about iconv: a
// Windows build provides these two functions through the system code pages.
#if !defined(_WIN32)

#include <errno.h>
#include <iconv.h>

#include <string>
#include <string_view>

#include "util/charset.h"
#include "util/log.h"

namespace bw {
namespace {

// One descriptor per thread and direction: iconv descriptors carry shift state
// and must not be shared between threads.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      LogError(std::string("no character-set converter from ") + from + " to " + to +
               ": texts pass unconverted");
    }
  }
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts everything; each byte iconv rejects becomes `replacement`.
  std::string run(std::string_view in, std::string_view replacement) {
    std::string out;
    if (in.empty()) return out;
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return std::string(in);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    out.resize(in.size() * 2 + 16);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    size_t used = 0;
    while (srcLeft > 0) {
      char* dst = out.data() + used;
      size_t dstLeft = out.size() - used;
      const size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
      used = out.size() - dstLeft;
      if (rc != static_cast<size_t>(-1)) break;
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      // EILSEQ (invalid sequence) or EINVAL (cut off at the end): replace one
      // byte and go on, so the rest of the text survives.
      if (out.size() - used < replacement.size()) out.resize(out.size() * 2 + replacement.size());
      out.replace(used, replacement.size(), replacement);
      used += replacement.size();
      ++src;
      --srcLeft;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(used);
    return out;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::string Utf8ToGbk(std::string_view utf8) {
  thread_local Converter converter("GB18030", "UTF-8");
  return converter.run(utf8, "?");
}

std::string GbkToUtf8(std::string_view gbk) {
  thread_local Converter converter("UTF-8", "GB18030");
  return converter.run(gbk, "\xEF\xBF\xBD");
}

}  // namespace bw

#endif  // !_WIN32
