// The WinHTTP transport of the Windows plug-in: the same contract as the
// libcurl one (WebClient decides every header; this carries one request).
#if defined(_WIN32)

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>
#include <string>

#include "util/wide_text.h"
#include "web/http_transport.h"

namespace bw {
namespace {

constexpr size_t kMaxBodyBytes = 64u << 20;
constexpr int kDefaultConnectMs = 60000;
constexpr int kDefaultIdleMs = 30000;

struct InternetClose {
  void operator()(void* h) const { WinHttpCloseHandle(h); }
};
using Internet = std::unique_ptr<void, InternetClose>;

std::string Failure(const char* step) {
  return std::string(step) + " failed (WinHTTP error " + std::to_string(GetLastError()) + ")";
}

class WinHttpTransport final : public HttpTransport {
 public:
  TransportResponse perform(const TransportRequest& request) override {
    TransportResponse response;
    const std::wstring url = WideFromUtf8(request.url);
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;
    parts.dwSchemeLength = 1;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
      response.error = "bad URL " + request.url;
      return response;
    }
    const bool https = parts.nScheme == INTERNET_SCHEME_HTTPS;
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
    path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (path.empty()) path = L"/";

    const std::wstring proxy = WideFromUtf8(request.proxy);
    Internet session(WinHttpOpen(
        L"", proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY,
        proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxy.c_str(), WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) {
      response.error = Failure("WinHttpOpen");
      return response;
    }
    int connectMs = kDefaultConnectMs, idleMs = kDefaultIdleMs;
    if (request.timeout) {
      connectMs = idleMs =
          static_cast<int>(std::clamp<int64_t>(request.timeout->count(), 1, INT32_MAX));
    }
    WinHttpSetTimeouts(session.get(), connectMs, connectMs, idleMs, idleMs);
    Internet connection(WinHttpConnect(session.get(), host.c_str(), parts.nPort, 0));
    if (!connection) {
      response.error = Failure("WinHttpConnect");
      return response;
    }
    const std::wstring method = WideFromUtf8(request.method);
    Internet req(WinHttpOpenRequest(connection.get(), method.c_str(), path.c_str(), nullptr,
                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                    https ? WINHTTP_FLAG_SECURE : 0));
    if (!req) {
      response.error = Failure("WinHttpOpenRequest");
      return response;
    }
    DWORD option = WINHTTP_DISABLE_COOKIES;  // WebClient keeps the cookies
    WinHttpSetOption(req.get(), WINHTTP_OPTION_DISABLE_FEATURE, &option, sizeof option);
    option = request.followRedirects ? WINHTTP_OPTION_REDIRECT_POLICY_ALWAYS
                                     : WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(req.get(), WINHTTP_OPTION_REDIRECT_POLICY, &option, sizeof option);
    if (!request.verifyCertificate) {
      option = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
               SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
      WinHttpSetOption(req.get(), WINHTTP_OPTION_SECURITY_FLAGS, &option, sizeof option);
    }
    std::wstring headers;
    for (const auto& [name, value] : request.headers)
      headers += WideFromUtf8(name + ": " + value + "\r\n");
    for (const auto& [name, value] : request.proxyHeaders)
      headers += WideFromUtf8(name + ": " + value + "\r\n");
    const bool sendBody = !request.body.empty() && request.method != "HEAD";
    if (!WinHttpSendRequest(req.get(),
                            headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            static_cast<DWORD>(headers.size()),
                            sendBody ? const_cast<char*>(request.body.data()) : nullptr,
                            sendBody ? static_cast<DWORD>(request.body.size()) : 0,
                            sendBody ? static_cast<DWORD>(request.body.size()) : 0, 0) ||
        !WinHttpReceiveResponse(req.get(), nullptr)) {
      response.error = Failure("the request");
      return response;
    }
    DWORD status = 0, size = sizeof status;
    WinHttpQueryHeaders(req.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    size = 0;
    WinHttpQueryHeaders(req.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                        nullptr, &size, WINHTTP_NO_HEADER_INDEX);
    std::wstring raw(size / sizeof(wchar_t), L'\0');
    if (size > 0 &&
        WinHttpQueryHeaders(req.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                            raw.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
      raw.resize(size / sizeof(wchar_t));
      // Without the status line and the blank line at the end.
      const size_t first = raw.find(L"\r\n");
      raw = first == std::wstring::npos ? std::wstring() : raw.substr(first + 2);
      while (!raw.empty() && (raw.back() == L'\r' || raw.back() == L'\n')) raw.pop_back();
      response.headerText = Utf8FromWide(raw);
    }
    if (request.method != "HEAD") {
      char buffer[16 * 1024];
      DWORD read = 0;
      while (WinHttpReadData(req.get(), buffer, sizeof buffer, &read) && read > 0) {
        if (response.body.size() + read > kMaxBodyBytes) {
          response.body.clear();
          response.error = "response body too large";
          return response;
        }
        response.body.append(buffer, read);
      }
    }
    response.ok = true;
    response.status = static_cast<int>(status);
    return response;
  }
};

}  // namespace

std::shared_ptr<HttpTransport> MakePlatformTransport() {
  return std::make_shared<WinHttpTransport>();
}

}  // namespace bw

#endif  // _WIN32
