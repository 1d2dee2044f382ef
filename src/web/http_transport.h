// HttpTransport: the platform's HTTP facility under WebClient. WebClient decides
// every header and option; a transport only carries one request out and brings
// the raw answer back. libcurl serves Linux (MakeCurlTransport); a WinHTTP
// transport serves the Windows plug-in.
//
// Thread-safety: perform() may be called from several threads at once.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "util/clock.h"

namespace bw {

struct TransportRequest {
  std::string method;  // "GET", "POST" or "HEAD"
  std::string url;
  // Header lines in the order they are to be sent; names are unique (compared
  // without case).
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // sent when not empty (never with HEAD)
  bool followRedirects = true;
  // Resolve, connect, send and receive time-outs. Empty: the transport's own
  // (connect 60 s, idle send/receive 30 s), never unbounded.
  std::optional<Millis> timeout;
  std::string proxy;  // empty: direct connection
  // Extra headers for the proxy itself (Proxy-Authorization), also when the
  // request is tunnelled through it.
  std::vector<std::pair<std::string, std::string>> proxyHeaders;
  // Off: certificate errors (issuer, usage, name, validity) are ignored.
  bool verifyCertificate = false;
  // PEM file of trusted authorities used when verifying; empty: the system's.
  std::string caFile;
};

struct TransportResponse {
  bool ok = false;  // a complete response arrived (any status)
  int status = 0;
  // Header lines of the final response, without its status line, joined by
  // CRLF, names as the server spelled them.
  std::string headerText;
  std::string body;
  std::string error;  // why the request failed, when !ok
};

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  virtual TransportResponse perform(const TransportRequest& request) = 0;
};

std::shared_ptr<HttpTransport> MakeCurlTransport();
// The platform's transport: libcurl on Linux, WinHTTP on Windows.
std::shared_ptr<HttpTransport> MakePlatformTransport();

}  // namespace bw
