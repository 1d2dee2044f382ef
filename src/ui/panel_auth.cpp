#include "ui/panel_auth.h"

#if defined(_WIN32)
#include <windows.h>
// After <windows.h>, whose types it uses.
#include <bcrypt.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

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
#endif

}  // namespace

std::string RandomToken() {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
#if defined(_WIN32)
  // The system's generator: MinGW's std::random_device falls back to a fixed
  // seed on a processor without RDRAND, which would make the token guessable.
  unsigned char bytes[32];
  if (!BCRYPT_SUCCESS(
          BCryptGenRandom(nullptr, bytes, sizeof bytes, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return out;  // no token: every login is refused
  }
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
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return Status::Error("cannot read " + file);
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
      char mode[8];
      std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(st.st_mode & 0777));
      return Status::Error(file + " may be read by others (mode " + mode +
                           "); run chmod 600 on it, or delete it for a new token");
    }
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

LoginResult PanelAuth::login(std::string_view presented, PanelSession* session) {
  std::lock_guard lock(mu_);
  const SystemTime now = clock_.now();
  while (!failures_.empty() && now - failures_.front() >= kFailureWindow) failures_.pop_front();
  if (failures_.size() >= static_cast<size_t>(kMaxFailures)) return LoginResult::kRateLimited;
  if (token_.empty() || !ConstantTimeEquals(presented, token_)) {
    failures_.push_back(now);
    LogWarning("settings panel: a login with a wrong token was refused");
    return LoginResult::kWrongToken;
  }
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

}  // namespace bw::ui
