#include "web/web_client.h"

#include <algorithm>
#include <cctype>
#include <exception>

#include "util/log.h"
#include "util/text.h"

namespace bw {

namespace {

constexpr std::string_view kFullWidthSpace = "\xE3\x80\x80";  // U+3000
constexpr std::string_view kDefaultUserAgent =
    "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/45.0.2454.101 Safari/537.36";

std::string RemoveBlanks(std::string_view text) {
  return ReplaceAll(ReplaceAll(text, " ", ""), kFullWidthSpace, "");
}

// Leading and trailing ASCII blanks, tabs and full-width spaces.
std::string_view TrimBlanks(std::string_view s) {
  while (true) {
    if (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
      s.remove_prefix(1);
    } else if (s.starts_with(kFullWidthSpace)) {
      s.remove_prefix(kFullWidthSpace.size());
    } else {
      break;
    }
  }
  while (true) {
    if (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
      s.remove_suffix(1);
    } else if (s.ends_with(kFullWidthSpace)) {
      s.remove_suffix(kFullWidthSpace.size());
    } else {
      break;
    }
  }
  return s;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// Lines of a header text. A lone LF also ends a line, so that no value can
// carry a line break onto the wire.
std::vector<std::string_view> HeaderLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// Sets a header, replacing one of the same name (compared without case).
void SetHeader(std::vector<std::pair<std::string, std::string>>& headers, std::string name,
               std::string value) {
  for (auto& [n, v] : headers) {
    if (EqualsIgnoreCase(n, name)) {
      v = std::move(value);
      return;
    }
  }
  headers.emplace_back(std::move(name), std::move(value));
}

std::string StripLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

// Scheme, host and path of a URL, without its query: tokens travel in queries
// and must not reach the log.
std::string UrlForLog(std::string_view url) { return std::string(url.substr(0, url.find('?'))); }

struct CookieItem {
  std::string name;
  std::string value;
};

std::vector<CookieItem> CookieItems(std::string_view text) {
  std::vector<CookieItem> items;
  std::vector<std::string> pieces = Split(text, ";");
  if (!pieces.empty() && pieces.back().empty()) pieces.pop_back();
  for (const std::string& piece : pieces) {
    size_t eq = piece.find('=');
    if (eq == std::string::npos) {
      items.push_back({std::string(TrimBlanks(piece)), ""});
    } else {
      items.push_back(
          {std::string(TrimBlanks(std::string_view(piece).substr(0, eq))), piece.substr(eq + 1)});
    }
  }
  return items;
}

}  // namespace

std::string CookieJar::text() const {
  std::lock_guard lock(mu_);
  return text_;
}

void CookieJar::set(std::string text) {
  std::lock_guard lock(mu_);
  text_ = std::move(text);
}

std::string CookieJar::merge(const std::string& newCookies) {
  std::string fresh = newCookies;
  std::lock_guard lock(mu_);
  return mergeCookies(text_, fresh);
}

std::string mergeCookies(std::string& oldCookies, std::string& newCookies) {
  oldCookies = RemoveBlanks(oldCookies);
  newCookies = RemoveBlanks(newCookies);
  if (newCookies.empty()) return oldCookies;

  std::vector<CookieItem> merged = CookieItems(oldCookies);
  for (CookieItem& item : CookieItems(newCookies)) {
    auto same = std::find_if(merged.begin(), merged.end(),
                             [&](const CookieItem& old) { return old.name == item.name; });
    if (same == merged.end()) {
      merged.push_back(std::move(item));
    } else if (!item.value.empty()) {
      // The server's newer value wins; "deleted" is dropped when rebuilding.
      same->value = std::move(item.value);
    }
  }

  std::string text;
  for (const CookieItem& item : merged) {
    if (item.name.empty() || item.value.empty() || item.value == "deleted") continue;
    text += item.name + "=" + item.value + ";";
  }
  oldCookies = ReplaceAll(text, ";;", ";");
  return oldCookies;
}

namespace web_detail {

std::string CompleteHeaders(const std::string& extraHeaders, const std::string& url) {
  std::string headers = extraHeaders;
  if (headers.empty()) {
    headers = "Accept: */*";
  } else if (!Contains(headers, "Accept:")) {
    headers += "\r\nAccept: */*";
  }
  if (!Contains(headers, "Referer:")) headers += "\r\nReferer: " + url;
  if (!Contains(headers, "Accept-Language:")) headers += "\r\nAccept-Language: zh-cn";
  if (!Contains(headers, "User-Agent:")) {
    headers += "\r\nUser-Agent:";
    headers += kDefaultUserAgent;
  }
  if (!Contains(headers, "Content-Type:")) {
    headers += "\r\nContent-Type: application/x-www-form-urlencoded";
  }
  return headers;
}

std::optional<Millis> EffectiveTimeout(int timeoutSeconds) {
  if (timeoutSeconds == -1) return std::nullopt;
  if (timeoutSeconds < 1) return Millis(15000);
  return Millis(static_cast<int64_t>(timeoutSeconds) * 1000);
}

std::string NormaliseSetCookieNames(const std::string& headerText) {
  std::string out;
  bool first = true;
  for (std::string_view line : Split(headerText, "\r\n")) {
    if (!first) out += "\r\n";
    first = false;
    size_t colon = line.find(':');
    if (colon != std::string_view::npos && EqualsIgnoreCase(line.substr(0, colon), "Set-Cookie")) {
      out += "Set-Cookie";
      out += line.substr(colon);
    } else {
      out += line;
    }
  }
  return out;
}

std::string CollectNewCookies(const std::string& headerText) {
  constexpr std::string_view kName = "Set-Cookie:";
  std::string cookies;
  for (const std::string& line : Split(headerText, "\r\n")) {
    // Only a Set-Cookie header sets a cookie; a line that merely mentions the
    // name in its value does not.
    if (!line.starts_with(kName)) continue;
    std::string_view rest = std::string_view(line).substr(kName.size());
    std::string_view pair = TrimBlanks(rest.substr(0, rest.find(';')));
    if (pair.empty()) continue;
    cookies += pair;
    cookies += "; ";
  }
  if (!cookies.empty()) cookies.resize(cookies.size() - 2);
  return cookies;
}

std::string Base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t n = (static_cast<unsigned char>(bytes[i]) << 16) |
                 (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  if (i < bytes.size()) {
    uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace web_detail

WebClient::WebClient() : transport_(MakePlatformTransport()) {}

WebClient::WebClient(std::shared_ptr<HttpTransport> transport) : transport_(std::move(transport)) {}

std::string WebClient::send(WebRequest& request) const { return sendWith(request, nullptr); }

std::string WebClient::send(WebRequest& request, CookieJar& jar) const {
  return sendWith(request, &jar);
}

std::string WebClient::sendWith(WebRequest& request, CookieJar* jar) const {
  using namespace web_detail;
  static constexpr const char* kMethods[] = {"GET", "POST", "HEAD"};
  TransportRequest out;
  out.method = request.method >= 0 && request.method <= 2 ? kMethods[request.method] : "GET";
  out.url = request.url;
  out.timeout = EffectiveTimeout(request.timeoutSeconds);
  out.followRedirects = !request.noRedirect;
  out.verifyCertificate = request.verifyCertificate;
  out.caFile = request.caFile;

  if (!request.proxy.empty()) {
    out.proxy = request.proxy;
    if (!request.proxyUser.empty() && request.proxyAuthMode == 1) {
      std::string credentials =
          "Basic " + Base64Encode(request.proxyUser + ":" + request.proxyPassword);
      out.proxyHeaders.emplace_back("Proxy-Authorization", credentials);
    }
  }

  request.extraHeaders = CompleteHeaders(request.extraHeaders, request.url);
  if (jar != nullptr) request.cookies = jar->text();
  if (!request.cookies.empty()) SetHeader(out.headers, "Cookie", StripLineBreaks(request.cookies));
  for (std::string_view line : HeaderLines(request.extraHeaders)) {
    if (line.empty()) continue;
    size_t colon = line.find(':');
    std::string_view name =
        colon == std::string_view::npos ? "" : TrimBlanks(line.substr(0, colon));
    if (name.empty()) {
      LogWarning("web request: header line without a name skipped: " + std::string(line));
      continue;
    }
    SetHeader(out.headers, std::string(name), std::string(TrimBlanks(line.substr(colon + 1))));
  }
  out.body = !request.bodyBytes.empty() ? request.bodyBytes : request.body;
  if (out.method == "HEAD") out.body.clear();

  TransportResponse response;
  try {
    response = transport_->perform(out);
  } catch (const std::exception& e) {
    response = TransportResponse{};
    response.error = e.what();
  } catch (...) {
    response = TransportResponse{};
    response.error = "unknown failure";
  }

  if (response.ok) {
    request.responseBody = std::move(response.body);
    request.responseHeaders = NormaliseSetCookieNames(response.headerText);
    request.newCookies = CollectNewCookies(request.responseHeaders);
    request.status = response.status;
  } else {
    LogWarning("web request failed: " + out.method + " " + UrlForLog(out.url) + ": " +
               response.error);
    request.responseBody.clear();
    request.responseHeaders.clear();
    request.newCookies.clear();
    request.status = 0;
  }

  if (jar != nullptr) {
    request.cookies = jar->merge(request.newCookies);
  } else {
    std::string fresh = request.newCookies;
    mergeCookies(request.cookies, fresh);
  }
  return request.responseBody;
}

}  // namespace bw
