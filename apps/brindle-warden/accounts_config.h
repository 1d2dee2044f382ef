// The robot accounts of one service, as its config file names them: one
// section per account, each with the forward WebSocket of its implementation.
//
//   [onebot]
//   access_token=shared-secret      ; the default token of every account
//   accounts=123456789,987654321    ; optional: only these may run
//   hold_seconds=600                ; optional: how long calls wait for an absent link
//
//   [account 123456789]             ; the account the implementation must be logged in as
//   url=ws://127.0.0.1:3001
//   access_token=its-own-secret     ; or token_file=/etc/brindle-warden/123456789.token
//
//   [account 987654321]
//   url=ws://127.0.0.1:3002
//
// Lines starting with ; or # are comments. A section that cannot be used
// names its line and the service refuses to start: a typo must not leave an
// account unguarded while the others run.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "util/status.h"

namespace bw::app {

// At most this many accounts run in one process; each holds its own queues,
// workers and connection, and beyond this one machine is better split.
inline constexpr size_t kMaxAccounts = 50;

struct AccountSection {
  int64_t account = 0;
  std::string url;
  std::string accessToken;  // its own, else [onebot] access_token=
  bool ownToken = false;    // access_token= or token_file= in its section
  size_t line = 0;          // of the section's header
};

struct AccountsConfig {
  std::vector<AccountSection> accounts;  // in the file's order
  // accounts= of [onebot]: empty allows every account.
  std::set<int64_t> allowed;
  bool accountsGiven = false;  // accounts= was there ("*": any account)
  // hold_seconds= of [onebot]: how long acting calls are held while an
  // implementation is away (and, for an account that connects to the
  // listener, how long its core is kept for it); nullopt: the default.
  std::optional<std::chrono::milliseconds> holdFor;
};

// The bounds of hold_seconds=: a second, a day.
inline constexpr int64_t kMinHoldSeconds = 1;
inline constexpr int64_t kMaxHoldSeconds = 86400;

// A QQ number as text: 1 to 18 digits, not all zeros.
std::optional<int64_t> ParseAccount(const std::string& text);

// "123,456 789": the accounts of --accounts or accounts=, "*" for any (an
// empty set); nullopt (with `error`) for anything that is not a list of QQ
// numbers.
std::optional<std::set<int64_t>> ParseAccountList(const std::string& text, std::string& error);

// The account sections of the config file's text. `path` names the file in
// the errors, which name the line ("brindle-warden.ini line 7: ...").
Status ParseAccountsConfig(const std::string& path, const std::string& text,
                           AccountsConfig& config);

}  // namespace bw::app
