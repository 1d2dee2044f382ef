// WebClient: one synchronous HTTP request per send(). It completes the request
// headers with browser-like defaults, collects the cookies the server sets and
// merges them into the caller's cookie text, so that a cookie text passed to one
// request carries the server's new cookies into the next.
//
// Nothing is thrown: a request that cannot connect or times out gives an empty
// body, empty header text, empty newCookies, status 0, and leaves `cookies` with
// only its blanks removed.
//
// Thread-safety: send() may run on several threads at once; a WebRequest belongs
// to one thread. A CookieJar is shared and locks itself.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "web/http_transport.h"

namespace bw {

struct WebRequest {
  // Arguments.
  std::string url;           // http:// or https://
  int method = 0;            // 0 GET, 1 POST, 2 HEAD; anything else is GET
  std::string body;          // form body
  std::string bodyBytes;     // sent instead of body when not empty
  std::string cookies;       // in/out: sent as Cookie, then merged with newCookies
  std::string extraHeaders;  // in/out: CRLF-separated lines; on return the completed text
  bool noRedirect = false;
  std::string proxy;  // empty: direct
  std::string proxyUser;
  std::string proxyPassword;
  int proxyAuthMode = 1;   // 1: Basic Proxy-Authorization header; other: none
  int timeoutSeconds = 0;  // -1 transport's own; <= 0 15 s; else seconds
  // Off by default: certificate errors are ignored. The update download turns
  // it on.
  bool verifyCertificate = false;
  // With verifyCertificate: a PEM file of the certificate authorities to trust
  // instead of the system's (a private update server, tests). Empty: the system's.
  std::string caFile;

  // Results.
  std::string responseBody;     // exactly as received
  std::string responseHeaders;  // CRLF-separated, every Set-Cookie name spelled "Set-Cookie"
  std::string newCookies;       // "a=1; b=2": the pairs this response set
  int status = 0;               // HTTP status, 0 when no response arrived
};

// A cookie text shared by several threads (the robot's login cookies).
class CookieJar {
 public:
  CookieJar() = default;
  explicit CookieJar(std::string text) : text_(std::move(text)) {}

  std::string text() const;
  void set(std::string text);
  // text ← mergeCookies(text, newCookies), atomically; returns the new text.
  std::string merge(const std::string& newCookies);

 private:
  mutable std::mutex mu_;
  std::string text_;
};

class WebClient {
 public:
  // Default: the platform transport (libcurl on Linux).
  WebClient();
  explicit WebClient(std::shared_ptr<HttpTransport> transport);

  // Sends the request and returns the body (also left in responseBody).
  std::string send(WebRequest& request) const;
  // The same with the cookie text taken from `jar` when the request starts and
  // the response's cookies merged into the jar under its lock (concurrent
  // requests never lose each other's cookies). request.cookies holds the jar's
  // text after the merge.
  std::string send(WebRequest& request, CookieJar& jar) const;

 private:
  std::string sendWith(WebRequest& request, CookieJar* jar) const;

  std::shared_ptr<HttpTransport> transport_;
};

// Cookie merge: removes every blank (ASCII and U+3000) from both texts and stores
// them back; an empty new text returns the old text as it is then. Otherwise
// each new name=value replaces the value of the first old pair of that name in
// place (an empty new value never replaces; "deleted" removes the pair) or is
// appended; the result lists the pairs that have a name and a value, none
// "deleted", each ended by ";".
std::string mergeCookies(std::string& oldCookies, std::string& newCookies);

// The pieces of send(), exposed for the fallback transport and for tests.
namespace web_detail {
// Step "complete the header text": Accept, Referer, Accept-Language,
// User-Agent, Content-Type defaults.
std::string CompleteHeaders(const std::string& extraHeaders, const std::string& url);
// The time-out a request asks for; empty means the transport's own.
std::optional<Millis> EffectiveTimeout(int timeoutSeconds);
// Header text with every Set-Cookie name (any case) spelled "Set-Cookie".
std::string NormaliseSetCookieNames(const std::string& headerText);
// "a=1; b=2" from the Set-Cookie lines of a normalised header text.
std::string CollectNewCookies(const std::string& headerText);
std::string Base64Encode(std::string_view bytes);
}  // namespace web_detail

}  // namespace bw
