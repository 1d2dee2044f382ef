#include "ui/panel_auth.h"

#if defined(_WIN32)
#include <windows.h>
// After <windows.h>, whose types it uses.
#include <bcrypt.h>
#else
#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "util/files.h"
#include "util/log.h"

namespace bw::ui {
namespace {

#if !defined(_WIN32)
bool IsHexToken(std::string_view s) {
  return s.size() >= 16 && s.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// The token file is created with mode 0600 from the start (never widened and
// then narrowed), through a temporary file and a rename like every file we write.
Status WritePrivateFile(const std::string& path, std::string_view bytes) {
  const std::string tmp = path + ".tmp";
  ::unlink(tmp.c_str());
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return Status::Error("cannot create " + tmp + ": " + std::strerror(errno));
  const bool written =
      ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  if (!written || !synced || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return Status::Error("cannot write " + path + ": " + std::strerror(errno));
  }
  return Status::Ok();
}

// A secret's file that others may read is refused: the secret would not be one.
Status CheckPrivate(const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return Status::Error("cannot read " + file);
  if (st.st_mode & (S_IRWXG | S_IRWXO)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
    return Status::Error(file + " may be read by others (mode " + mode +
                         "); run chmod 600 on it, or delete it (and set a new one)");
  }
  return Status::Ok();
}
#endif

constexpr std::string_view kHashScheme = "pbkdf2-sha256$";
// OWASP's figure for PBKDF2-HMAC-SHA256 (2023): about 0.3 s on a small server,
// paid once per login attempt, which the rate limit keeps rare.
constexpr int kIterations = 600000;
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

std::string Hex(const unsigned char* bytes, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0xF];
  }
  return out;
}

bool Unhex(std::string_view hex, std::vector<unsigned char>& out) {
  if (hex.size() % 2 != 0 || hex.empty()) return false;
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    auto digit = [](char c) {
      return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    const int hi = digit(hex[i]), lo = digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<unsigned char>(hi * 16 + lo));
  }
  return true;
}

// The crypto primitives: OpenSSL's, or on Windows the system's (bcrypt), as
// Debian has no OpenSSL for the MinGW build.
#if defined(_WIN32)
bool Derive(std::string_view password, const std::vector<unsigned char>& salt, int iterations,
            unsigned char* out, size_t n) {
  BCRYPT_ALG_HANDLE hmac = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&hmac, BCRYPT_SHA256_ALGORITHM, nullptr,
                                                  BCRYPT_ALG_HANDLE_HMAC_FLAG)))
    return false;
  std::string secret(password);
  std::vector<unsigned char> salted(salt);
  const bool ok = BCRYPT_SUCCESS(BCryptDeriveKeyPBKDF2(
      hmac, reinterpret_cast<PUCHAR>(secret.data()), static_cast<ULONG>(secret.size()),
      salted.data(), static_cast<ULONG>(salted.size()), static_cast<ULONGLONG>(iterations), out,
      static_cast<ULONG>(n), 0));
  BCryptCloseAlgorithmProvider(hmac, 0);
  return ok;
}

bool RandomBytes(unsigned char* out, size_t n) {
  return BCRYPT_SUCCESS(
      BCryptGenRandom(nullptr, out, static_cast<ULONG>(n), BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

bool SameBytes(const unsigned char* a, const unsigned char* b, size_t n) {
  unsigned char diff = 0;  // no early exit: the time tells nothing
  for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}
#else
bool Derive(std::string_view password, const std::vector<unsigned char>& salt, int iterations,
            unsigned char* out, size_t n) {
  return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                           static_cast<int>(salt.size()), iterations, EVP_sha256(),
                           static_cast<int>(n), out) == 1;
}

bool RandomBytes(unsigned char* out, size_t n) { return RAND_bytes(out, static_cast<int>(n)) == 1; }

bool SameBytes(const unsigned char* a, const unsigned char* b, size_t n) {
  return CRYPTO_memcmp(a, b, n) == 0;
}
#endif

}  // namespace

std::string HashPassword(std::string_view password) {
  std::vector<unsigned char> salt(kSaltBytes);
  if (!RandomBytes(salt.data(), salt.size())) return "";
  unsigned char hash[kHashBytes];
  if (!Derive(password, salt, kIterations, hash, sizeof hash)) return "";
  return std::string(kHashScheme) + std::to_string(kIterations) + "$" +
         Hex(salt.data(), salt.size()) + "$" + Hex(hash, sizeof hash);
}

bool VerifyPassword(std::string_view password, std::string_view stored) {
  if (!stored.starts_with(kHashScheme)) return false;
  stored.remove_prefix(kHashScheme.size());
  const size_t a = stored.find('$');
  const size_t b = a == std::string_view::npos ? a : stored.find('$', a + 1);
  if (b == std::string_view::npos) return false;
  const std::string_view count = stored.substr(0, a);
  if (count.empty() || count.size() > 8 ||
      count.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  const int iterations = std::stoi(std::string(count));
  std::vector<unsigned char> salt, expected;
  if (iterations < 1 || !Unhex(stored.substr(a + 1, b - a - 1), salt) ||
      !Unhex(stored.substr(b + 1), expected) || expected.size() > 64)
    return false;
  unsigned char hash[64];
  if (!Derive(password, salt, iterations, hash, expected.size())) return false;
  return SameBytes(hash, expected.data(), expected.size());
}

std::string PasswordProblem(std::string_view password) {
  if (password.size() < 8) return "the password needs at least 8 characters";
  if (password.size() > 256) return "the password may have at most 256 characters";
  if (password.find_first_of("\r\n") != std::string_view::npos)
    return "the password may not hold a line break";
  return "";
}

#if !defined(_WIN32)
Status WritePasswordFile(const std::string& file, std::string_view password) {
  if (std::string problem = PasswordProblem(password); !problem.empty())
    return Status::Error(problem);
  const std::string hash = HashPassword(password);
  if (hash.empty()) return Status::Error("the crypto library could not hash the password");
  return WritePrivateFile(file, hash + "\n");
}
#endif

std::string RandomToken() {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
#if defined(_WIN32)
  // The system's generator: MinGW's std::random_device falls back to a fixed
  // seed on a processor without RDRAND, which would make the token guessable.
  unsigned char bytes[32];
  if (!RandomBytes(bytes, sizeof bytes)) return out;  // no token: every login is refused
  for (unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 0xF];
  }
#else
  std::random_device source;  // /dev/urandom on Linux
  for (int i = 0; i < 8; ++i) {
    const uint32_t v = source();
    for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(v >> shift) & 0xF];
  }
#endif
  return out;
}

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size() || b.empty()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

PanelAuth::PanelAuth(const Clock& clock) : clock_(clock) {}

#if !defined(_WIN32)
Status PanelAuth::loadOrCreateToken(const std::string& file) {
  std::string text;
  if (FileExists(file)) {
    if (Status s = CheckPrivate(file); !s) return s;
    if (Status s = ReadFileBytes(file, text); !s) return s;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!IsHexToken(text))
      return Status::Error(file + " holds no login token; delete it for a new one");
  } else {
    text = RandomToken();
    if (Status s = WritePrivateFile(file, text + "\n"); !s) return s;
  }
  setToken(text);
  return Status::Ok();
}
#endif

void PanelAuth::setToken(std::string token) {
  std::lock_guard lock(mu_);
  token_ = std::move(token);
}

std::string PanelAuth::token() const {
  std::lock_guard lock(mu_);
  return token_;
}

LoginResult PanelAuth::login(std::string_view presented, std::string_view source,
                             PanelSession* session) {
  std::unique_lock lock(mu_);
  SystemTime now = clock_.now();
  auto expire = [&](std::deque<SystemTime>& times) {
    while (!times.empty() && now - times.front() >= kFailureWindow) times.pop_front();
  };
  expire(failures_);
  for (auto it = sourceFailures_.begin(); it != sourceFailures_.end();) {
    expire(it->second);
    it = it->second.empty() ? sourceFailures_.erase(it) : std::next(it);
  }
  auto own = sourceFailures_.find(source);
  if (failures_.size() >= static_cast<size_t>(kMaxFailuresOverall) ||
      (own != sourceFailures_.end() && own->second.size() >= static_cast<size_t>(kMaxFailures)))
    return LoginResult::kRateLimited;
  // Counted as a failure until it succeeds: attempts made at the same time
  // cannot slip past the limit while the password is being checked.
  failures_.push_back(now);
  sourceFailures_[std::string(source)].push_back(now);
  const std::string hash = passwordHash_;
  const std::string token = token_;
  bool ok = false;
  if (!hash.empty()) {
    // While a password is set, only the password logs in: the token was
    // printed in the log, which others may read. The hash takes a while: the
    // lock is not held meanwhile.
    lock.unlock();
    ok = VerifyPassword(presented, hash);
    lock.lock();
    now = clock_.now();
  } else {
    ok = !token.empty() && ConstantTimeEquals(presented, token);
  }
  if (!ok) {
    LogWarning("settings panel: a login with a wrong " +
               std::string(hash.empty() ? "token" : "password") + " from " + std::string(source) +
               " was refused");
    return LoginResult::kWrongToken;
  }
  auto forget = [](std::deque<SystemTime>& times) {
    if (!times.empty()) times.pop_back();
  };
  forget(failures_);
  if (auto it = sourceFailures_.find(source); it != sourceFailures_.end()) forget(it->second);
  // Closed sessions and, beyond the cap, the least recently used go first.
  std::erase_if(sessions_, [&](const auto& kv) { return now - kv.second.lastUse >= kSessionIdle; });
  while (sessions_.size() >= kMaxSessions) {
    auto oldest = sessions_.begin();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
      if (it->second.lastUse < oldest->second.lastUse) oldest = it;
    sessions_.erase(oldest);
  }
  PanelSession s{RandomToken(), RandomToken(), now};
  sessions_[s.id] = s;
  if (session) *session = s;
  return LoginResult::kOk;
}

#if !defined(_WIN32)
Status PanelAuth::loadPassword(const std::string& file) {
  if (!FileExists(file)) return Status::Ok();
  if (Status s = CheckPrivate(file); !s) return s;
  std::string text;
  if (Status s = ReadFileBytes(file, text); !s) return s;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  if (!text.starts_with(kHashScheme) || std::count(text.begin(), text.end(), '$') != 3)
    return Status::Error(file +
                         " holds no password hash; set the password again with "
                         "brindle-warden panel-password, or delete the file");
  setPasswordHash(text);
  return Status::Ok();
}
#endif

void PanelAuth::setPasswordHash(std::string hash) {
  std::lock_guard lock(mu_);
  passwordHash_ = std::move(hash);
}

bool PanelAuth::hasPassword() const {
  std::lock_guard lock(mu_);
  return !passwordHash_.empty();
}

std::optional<PanelSession> PanelAuth::find(std::string_view id) {
  std::lock_guard lock(mu_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return std::nullopt;
  const SystemTime now = clock_.now();
  if (now - it->second.lastUse >= kSessionIdle) {
    sessions_.erase(it);
    return std::nullopt;
  }
  it->second.lastUse = now;
  return it->second;
}

void PanelAuth::logout(std::string_view id) {
  std::lock_guard lock(mu_);
  if (auto it = sessions_.find(id); it != sessions_.end()) sessions_.erase(it);
}

bool HostAllowed(std::string_view host, int port, std::string_view extraHost) {
  const std::string suffix = ":" + std::to_string(port);
  for (std::string_view name : {std::string_view("127.0.0.1"), std::string_view("localhost"),
                                std::string_view("[::1]"), extraHost}) {
    if (name.empty()) continue;
    if (host.size() == name.size() + suffix.size() && host.starts_with(name) &&
        host.ends_with(suffix))
      return true;
  }
  return false;
}

bool OriginAllowed(std::string_view origin, int port, std::string_view extraHost) {
  constexpr std::string_view kScheme = "http://";
  if (!origin.starts_with(kScheme)) return false;
  return HostAllowed(origin.substr(kScheme.size()), port, extraHost);
}

std::string CookieValue(std::string_view header, std::string_view name) {
  size_t pos = 0;
  while (pos < header.size()) {
    size_t end = header.find(';', pos);
    if (end == std::string_view::npos) end = header.size();
    std::string_view part = header.substr(pos, end - pos);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part.size() > name.size() && part.starts_with(name) && part[name.size()] == '=')
      return std::string(part.substr(name.size() + 1));
    pos = end + 1;
  }
  return "";
}

std::string LoginPageWithError(std::string_view page, std::string_view message) {
  std::string escaped;
  for (char c : message) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        escaped += c;
    }
  }
  std::string out(page);
  auto replace = [&out](std::string_view from, const std::string& to) {
    const size_t at = out.find(from);
    if (at != std::string::npos) out.replace(at, from.size(), to);
  };
  // Shown before the script runs, which keeps the reason where it stands.
  replace(R"(<section id="login" hidden>)", R"(<section id="login">)");
  replace(R"(<p id="login-error" class="error" role="alert"></p>)",
          R"(<p id="login-error" class="error" role="alert">)" + escaped + "</p>");
  return out;
}

}  // namespace bw::ui
