// WebTokens: the robot account's login cookies and CSRF token (bkn), taken from
// the host at enable and used by every QQ web request made for the account. The
// login cookie text also changes after each such request (the server's new
// cookies are merged into it).
//
// Thread-safety: all members may be called from any thread; the cookie text is
// a CookieJar with its own lock.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "web/web_client.h"

namespace bw {

class HostApi;

class WebTokens {
 public:
  // Reads CQ_getCookies and CQ_getCsrfToken (signed decimal) and replaces both
  // values.
  void load(HostApi& host);

  std::string loginCookies() const { return cookies_.text(); }
  void setLoginCookies(std::string cookies) { cookies_.set(std::move(cookies)); }
  std::string bkn() const;
  void setBkn(std::string bkn);

  // The jar a request passes to WebClient::send to carry the login cookies.
  CookieJar& cookieJar() { return cookies_; }

  // The logged-in account's number from the login cookies (see below).
  std::string loginAccountFromCookies() const;

 private:
  CookieJar cookies_;
  mutable std::mutex mu_;
  std::string bkn_;
};

// The token hash exported as 计算G_tk: h = 5381; h = h * 33 + u over each byte of
// the text's GBK form (u = the byte for ASCII), in 32-bit arithmetic; the
// decimal text of h & 0x7FFFFFFF. "5381" for the empty text.
std::string gtk(std::string_view text);

// The text between "uin=o0" and the next ";", or when that is empty between
// "uin=o" and the next ";". A pair at the very end needs no ";".
std::string loginAccountFromCookies(std::string_view cookies);

}  // namespace bw
