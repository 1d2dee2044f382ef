#include "web/web_tokens.h"

#include <cstdint>

#include "host/host_api.h"
#include "util/charset.h"
#include "util/text.h"

namespace bw {

namespace {

// The first UTF-16 unit of a UTF-8 text (0 for the empty text).
uint32_t FirstUtf16Unit(std::string_view utf8) {
  if (utf8.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(utf8[0]);
  auto cont = [&](size_t i) {
    return i < utf8.size() ? static_cast<unsigned char>(utf8[i]) & 0x3Fu : 0u;
  };
  uint32_t cp;
  if (b0 < 0x80) {
    cp = b0;
  } else if (b0 < 0xE0) {
    cp = ((b0 & 0x1Fu) << 6) | cont(1);
  } else if (b0 < 0xF0) {
    cp = ((b0 & 0x0Fu) << 12) | (cont(1) << 6) | cont(2);
  } else {
    cp = ((b0 & 0x07u) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
  }
  return cp > 0xFFFF ? 0xD800 + ((cp - 0x10000) >> 10) : cp;
}

}  // namespace

void WebTokens::load(HostApi& host) {
  cookies_.set(host.CQ_getCookies());
  setBkn(std::to_string(host.CQ_getCsrfToken()));
}

std::string WebTokens::bkn() const {
  std::lock_guard lock(mu_);
  return bkn_;
}

void WebTokens::setBkn(std::string bkn) {
  std::lock_guard lock(mu_);
  bkn_ = std::move(bkn);
}

std::string WebTokens::loginAccountFromCookies() const {
  return bw::loginAccountFromCookies(cookies_.text());
}

std::string gtk(std::string_view text) {
  uint32_t h = 5381;
  const std::string gbk = Utf8ToGbk(text);
  for (char c : gbk) {
    const auto byte = static_cast<unsigned char>(c);
    // Each byte on its own, decoded as GBK: an ASCII byte is itself, a lone
    // byte of a two-byte character decodes to the replacement character.
    const uint32_t u = byte < 0x80 ? byte : FirstUtf16Unit(GbkToUtf8(std::string(1, c)));
    h = h + (h << 5) + u;  // modulo 2^32
  }
  return std::to_string(h & 0x7FFFFFFFu);
}

std::string loginAccountFromCookies(std::string_view cookies) {
  // The host's own cookie text may end without ";" after its last pair.
  std::string text(cookies);
  if (!text.empty() && text.back() != ';') text += ';';
  std::string account = TextBetween(text, "uin=o0", ";");
  if (account.empty()) account = TextBetween(text, "uin=o", ";");
  return account;
}

}  // namespace bw
