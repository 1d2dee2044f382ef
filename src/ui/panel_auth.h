// PanelAuth: who may use the settings panel. The first start writes a random
// login token into a file only the owner can read (mode 0600); logging in with
// it opens a session (an HttpOnly cookie) that carries its own CSRF token,
// which every changing request must repeat in a header. The owner may set a
// password instead (kept only as a salted PBKDF2-HMAC-SHA256 hash, in a file
// of mode 0600); while one is set, the token no longer logs in. Failed logins
// are rate-limited per source address and, against guessing from many
// addresses, over all sources together.
//
// Also the checks of the Host and Origin headers: a page on another port of
// 127.0.0.1 is same-site for the browser (its SameSite=Strict cookie goes
// along), so only the Origin tells it apart; a DNS-rebinding page sends a
// foreign Host.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "util/clock.h"
#include "util/status.h"

namespace bw::ui {

struct PanelSession {
  std::string id;    // the cookie's value
  std::string csrf;  // the X-CSRF-Token header's value
  SystemTime lastUse;
};

enum class LoginResult { kOk, kWrongToken, kRateLimited };

class PanelAuth {
 public:
  // At most kMaxFailures failed logins of one source address within
  // kFailureWindow, and kMaxFailuresOverall of all sources together; beyond
  // either, logins (of that source, or of all) are refused until the oldest
  // failure leaves the window. The overall limit also locks out the owner
  // for that minute: the price of bounding a guesser with many addresses.
  static constexpr int kMaxFailures = 5;
  static constexpr int kMaxFailuresOverall = 20;
  static constexpr std::chrono::seconds kFailureWindow{60};
  // A session unused this long is closed.
  static constexpr std::chrono::hours kSessionIdle{12};
  static constexpr size_t kMaxSessions = 64;

  explicit PanelAuth(const Clock& clock);

#if !defined(_WIN32)
  // Reads the token from `file`, or creates the file (mode 0600) with a new
  // random token when it is missing. A file that is readable by others is
  // refused: the token would not be secret. (The Windows plug-in keeps a new
  // token per load in memory and hands it only to the browser it opens.)
  Status loadOrCreateToken(const std::string& file);
#endif
  // For tests, and the Windows plug-in's token per load: the secret to log in with.
  void setToken(std::string token);
  std::string token() const;

#if !defined(_WIN32)
  // Reads the password hash of `file` (written by WritePasswordFile) when the
  // file exists. A file readable by others or not holding a hash is an error.
  // (Not on Windows, where files have no such modes: the plug-in logs in by
  // its token.)
  Status loadPassword(const std::string& file);
#endif
  // The hash as WritePasswordFile stores it; "" removes the password.
  void setPasswordHash(std::string hash);
  bool hasPassword() const;

  // `source` is the client's address (the per-source limit's key).
  LoginResult login(std::string_view presented, std::string_view source, PanelSession* session);
  // The session of a cookie value (refreshes its last use), or nullopt.
  std::optional<PanelSession> find(std::string_view id);
  void logout(std::string_view id);

 private:
  const Clock& clock_;
  mutable std::mutex mu_;
  std::string token_;
  std::string passwordHash_;
  std::map<std::string, PanelSession, std::less<>> sessions_;
  std::deque<SystemTime> failures_;  // of every source
  std::map<std::string, std::deque<SystemTime>, std::less<>> sourceFailures_;
};

// A password as stored: "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>",
// with a random 16-byte salt. Empty on a failure of the crypto library.
std::string HashPassword(std::string_view password);
// Whether `password` matches a stored hash (false for a malformed one).
bool VerifyPassword(std::string_view password, std::string_view stored);
// The owner's rule for a password: at least 8 characters (bytes), at most 256,
// no line break. Returns the reason for a refusal, "" when acceptable.
std::string PasswordProblem(std::string_view password);
#if !defined(_WIN32)
// Writes the hash of `password` into `file` (mode 0600, temporary file and rename).
Status WritePasswordFile(const std::string& file, std::string_view password);
#endif

// 32 random bytes as 64 hex digits, from the system's random source.
std::string RandomToken();

// Compares without an early exit, so the time taken tells nothing of the token.
bool ConstantTimeEquals(std::string_view a, std::string_view b);

// The Host header names this panel: 127.0.0.1, localhost or [::1] with `port`
// (or, when `extraHost` is set, that name with the port).
bool HostAllowed(std::string_view host, int port, std::string_view extraHost = {});
// The Origin header is this panel itself: "http://" + an allowed host.
bool OriginAllowed(std::string_view origin, int port, std::string_view extraHost = {});

// The login page (index.html's text) with `message` shown as the login's error:
// the answer to a login link that was refused, in place of an API answer.
std::string LoginPageWithError(std::string_view page, std::string_view message);

// The value of cookie `name` in a Cookie header, or "".
std::string CookieValue(std::string_view header, std::string_view name);

}  // namespace bw::ui
