// UTF-8 <-> GB18030 through the Windows code pages: 54936 (GB18030) where the
// system has it, else 936 (GBK), which covers what the host itself sends.
#if defined(_WIN32)

#include <windows.h>

#include <string>
#include <string_view>

#include "util/charset.h"

namespace bw {
namespace {

UINT GbCodePage() {
  static const UINT page = IsValidCodePage(54936) ? 54936 : 936;
  return page;
}

std::wstring ToWide(UINT codePage, std::string_view in) {
  if (in.empty()) return {};
  const int n =
      MultiByteToWideChar(codePage, 0, in.data(), static_cast<int>(in.size()), nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, in.data(), static_cast<int>(in.size()), out.data(), n);
  return out;
}

std::string FromWide(UINT codePage, const std::wstring& in) {
  if (in.empty()) return {};
  const int n = WideCharToMultiByte(codePage, 0, in.data(), static_cast<int>(in.size()), nullptr, 0,
                                    nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, in.data(), static_cast<int>(in.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

}  // namespace

// Without MB_ERR_INVALID_CHARS both directions replace what they cannot
// convert (U+FFFD from UTF-8, "?" into GBK) and keep the rest of the text.
std::string Utf8ToGbk(std::string_view utf8) {
  return FromWide(GbCodePage(), ToWide(CP_UTF8, utf8));
}

std::string GbkToUtf8(std::string_view gbk) { return FromWide(CP_UTF8, ToWide(GbCodePage(), gbk)); }

}  // namespace bw

#endif  // _WIN32
