// Links and cards: web addresses outside the allowed domains, QQ or group
// numbers written out, and shared cards (mini-program shares, group
// invitations and contact cards arrive as json, xml, share or contact codes).
#include <array>

#include "automod/fold.h"
#include "automod/triggers.h"

namespace bw::automod {

namespace {

// Top-level domains that mark a bare "name.tld" as an address (a full list
// would make every "a.b" in a sentence one).
constexpr std::array<std::string_view, 40> kTlds = {
    "com",  "cn",   "net",  "org",  "top", "xyz",  "cc",    "me",   "io",   "vip",
    "club", "site", "info", "link", "ly",  "tk",   "icu",   "app",  "shop", "online",
    "ink",  "fun",  "wang", "pw",   "so",  "co",   "tv",    "gg",   "hk",   "tw",
    "jp",   "us",   "uk",   "ru",   "de",  "live", "store", "work", "ren",  "biz"};

bool HostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool Allowed(std::string_view host, const std::vector<std::string>& domains) {
  for (const std::string& d : domains) {
    std::string lower;
    for (char c : d) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    if (host == lower) return true;
    if (host.size() > lower.size() && host.ends_with(lower) &&
        host[host.size() - lower.size() - 1] == '.')
      return true;
  }
  return false;
}

// The first address outside the allowed domains, or empty.
std::string FindAddress(std::string_view text, const std::vector<std::string>& allow) {
  // "。" and "．" stand in for the dot to slip past simple filters.
  std::string t;
  t.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "。") == 0 || text.compare(i, 3, "．") == 0) {
      t += '.';
      i += 2;
    } else {
      t += text[i];
    }
  }
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] != '.') continue;
    size_t b = i, e = i;
    while (b > 0 && HostChar(t[b - 1])) --b;
    while (e + 1 < t.size() && HostChar(t[e + 1])) ++e;
    std::string_view host(t.data() + b, e + 1 - b);
    while (!host.empty() && (host.back() == '.' || host.back() == '-')) host.remove_suffix(1);
    while (!host.empty() && (host.front() == '.' || host.front() == '-')) host.remove_prefix(1);
    const bool scheme = (b >= 3 && t.compare(b - 3, 3, "://") == 0);
    i = e;
    const size_t dot = host.rfind('.');
    if (dot == std::string_view::npos || dot == 0) continue;
    const std::string_view tld = host.substr(dot + 1);
    bool known = scheme;
    for (std::string_view k : kTlds) known |= tld == k;
    if (!known) continue;
    if (host.starts_with("www.") && Allowed(host.substr(4), allow)) continue;
    if (!Allowed(host, allow)) return std::string(host);
  }
  return {};
}

// A run of 5 to 11 digits: the length of QQ and group numbers.
std::string FindNumber(std::string_view folded) {
  for (size_t i = 0; i < folded.size();) {
    if (folded[i] < '0' || folded[i] > '9') {
      ++i;
      continue;
    }
    size_t e = i;
    while (e < folded.size() && folded[e] >= '0' && folded[e] <= '9') ++e;
    if (e - i >= 5 && e - i <= 11) return std::string(folded.substr(i, e - i));
    i = e;
  }
  return {};
}

}  // namespace

bool LinksHit(const Trigger& t, const MessageFacts& facts, std::string& reason) {
  if (t.cards) {
    for (std::string_view code : {"[CQ:json", "[CQ:xml", "[CQ:share", "[CQ:contact"}) {
      if (facts.raw.find(code) != std::string_view::npos) {
        reason = "分享卡片";
        return true;
      }
    }
  }
  if (t.urls) {
    thread_local std::string spaced;
    FoldKeepingBlanks(facts.raw, spaced);
    if (std::string host = FindAddress(spaced, t.allowDomains); !host.empty()) {
      reason = "链接 " + host;
      return true;
    }
  }
  if (t.numbers) {
    if (std::string number = FindNumber(facts.folded); !number.empty()) {
      reason = "号码 " + number;
      return true;
    }
  }
  return false;
}

}  // namespace bw::automod
