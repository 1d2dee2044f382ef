// The libcurl transport. One easy handle per request, so concurrent requests
// share nothing but libcurl's global state.
#if !defined(_WIN32)  // winhttp_transport.cpp serves Windows
#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

#include "web/http_transport.h"

namespace bw {

namespace {

// A body larger than this is refused rather than exhausting memory.
constexpr size_t kMaxBodyBytes = 64u << 20;
// The transport's own time-outs, used when the caller leaves them to it.
constexpr long kDefaultConnectMs = 60000;
constexpr long kDefaultIdleSeconds = 30;

struct Collected {
  std::string headerText;
  std::string body;
  bool tooLarge = false;
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* collected = static_cast<Collected*>(user);
  size_t n = size * count;
  if (collected->body.size() + n > kMaxBodyBytes) {
    collected->tooLarge = true;
    return 0;  // aborts the transfer
  }
  collected->body.append(data, n);
  return n;
}

// Keeps the header lines of the last response only: a redirect or an interim
// "100 Continue" starts a new block with its status line.
size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* collected = static_cast<Collected*>(user);
  size_t n = size * count;
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.starts_with("HTTP/")) {
    collected->headerText.clear();
  } else if (!line.empty()) {
    if (!collected->headerText.empty()) collected->headerText += "\r\n";
    collected->headerText += line;
  }
  return n;
}

struct SlistFree {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistFree>;

struct EasyFree {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};

void Append(Slist& list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (grown != nullptr) {
    list.release();
    list.reset(grown);
  }
}

// "Name: value"; an empty value is written "Name;" so that libcurl sends the
// header instead of removing it.
Slist HeaderList(const std::vector<std::pair<std::string, std::string>>& headers,
                 bool suppressExpect) {
  Slist list;
  bool hasExpect = false;
  for (const auto& [name, value] : headers) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (lower == "expect") hasExpect = true;
    Append(list, value.empty() ? name + ";" : name + ": " + value);
  }
  // libcurl would wait for "100 Continue" before larger bodies.
  if (suppressExpect && !hasExpect) Append(list, "Expect:");
  return list;
}

class CurlTransport final : public HttpTransport {
 public:
  TransportResponse perform(const TransportRequest& request) override {
    static std::once_flag init;
    std::call_once(init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    TransportResponse response;
    std::unique_ptr<CURL, EasyFree> easy(curl_easy_init());
    if (!easy) {
      response.error = "cannot create a transfer";
      return response;
    }
    CURL* h = easy.get();
    Collected collected;
    char errors[CURL_ERROR_SIZE] = {};

    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errors);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &collected);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &collected);

    if (request.method == "HEAD") {
      curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (request.method == "POST") {
      curl_easy_setopt(h, CURLOPT_POST, 1L);
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(request.body.size()));
    } else {
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
      if (!request.body.empty()) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "GET");
      }
    }

    Slist headers = HeaderList(request.headers, !request.body.empty());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

    if (request.followRedirects) {
      curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
      curl_easy_setopt(h, CURLOPT_MAXREDIRS, 20L);
    }

    // Resolve and connect share libcurl's connect time-out; sending and
    // receiving fail when no byte moves for the same time.
    long connectMs = kDefaultConnectMs;
    long idleSeconds = kDefaultIdleSeconds;
    if (request.timeout) {
      connectMs = static_cast<long>(std::max<int64_t>(1, request.timeout->count()));
      idleSeconds =
          static_cast<long>(std::max<int64_t>(1, (request.timeout->count() + 999) / 1000));
    }
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, connectMs);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, idleSeconds);

    // An empty proxy also overrides proxies named in the environment.
    curl_easy_setopt(h, CURLOPT_PROXY, request.proxy.c_str());
    Slist proxyHeaders = HeaderList(request.proxyHeaders, false);
    if (!request.proxy.empty()) {
      curl_easy_setopt(h, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE);
      curl_easy_setopt(h, CURLOPT_PROXYHEADER, proxyHeaders.get());
    }

    long verify = request.verifyCertificate ? 1L : 0L;
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, verify);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, request.verifyCertificate ? 2L : 0L);
    curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYPEER, verify);
    curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYHOST, request.verifyCertificate ? 2L : 0L);
    if (request.verifyCertificate && !request.caFile.empty()) {
      curl_easy_setopt(h, CURLOPT_CAINFO, request.caFile.c_str());
    }

    CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
      response.error = collected.tooLarge  ? "response body too large"
                       : errors[0] != '\0' ? std::string(errors)
                                           : std::string(curl_easy_strerror(rc));
      return response;
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    response.ok = true;
    response.status = static_cast<int>(status);
    response.headerText = std::move(collected.headerText);
    response.body = std::move(collected.body);
    return response;
  }
};

}  // namespace

std::shared_ptr<HttpTransport> MakeCurlTransport() { return std::make_shared<CurlTransport>(); }

std::shared_ptr<HttpTransport> MakePlatformTransport() { return MakeCurlTransport(); }

}  // namespace bw

#endif  // !_WIN32
