#include "accounts_config.h"

#include <map>

#include "command_line.h"
#include "onebot/connection.h"

namespace bw::app {
namespace {

std::string Trimmed(std::string_view s) {
  const size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return "";
  const size_t last = s.find_last_not_of(" \t");
  return std::string(s.substr(first, last - first + 1));
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

std::optional<int64_t> ParseAccount(const std::string& text) {
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos ||
      text == std::string(text.size(), '0'))
    return std::nullopt;
  return std::stoll(text);
}

std::optional<std::set<int64_t>> ParseAccountList(const std::string& text, std::string& error) {
  std::set<int64_t> out;
  if (text.find_first_not_of(" \t") != std::string::npos &&
      text.substr(text.find_first_not_of(" \t"), 1) == "*" &&
      text.find_first_not_of(" \t*") == std::string::npos)
    return out;
  std::string item;
  for (size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ',';
    if (c != ',' && c != ' ' && c != '\t') {
      item += c;
      continue;
    }
    if (item.empty()) continue;
    const std::optional<int64_t> account = ParseAccount(item);
    if (!account) {
      error = "\"" + item + "\" is not a QQ number";
      return std::nullopt;
    }
    out.insert(*account);
    item.clear();
  }
  return out;
}

Status ParseAccountsConfig(const std::string& path, const std::string& text,
                           AccountsConfig& config) {
  config = AccountsConfig{};
  auto failure = [&path](size_t line, const std::string& what) {
    return Status::Error(path + " line " + std::to_string(line) + ": " + what);
  };
  // Whole sections are checked when the next one begins and at the end.
  auto finish = [&](const AccountSection& s) -> Status {
    if (s.url.empty())
      return failure(s.line, "[account " + std::to_string(s.account) +
                                 "] needs url=ws://HOST:PORT (its implementation's forward "
                                 "WebSocket)");
    return Status::Ok();
  };
  std::string shared;  // [onebot] access_token=
  std::map<int64_t, size_t> seen;
  std::optional<AccountSection> current;
  std::string section;
  size_t lineNumber = 0, pos = 0;
  if (text.starts_with("\xEF\xBB\xBF")) pos = 3;  // a byte-order mark from a Windows editor
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = Trimmed(std::string_view(text).substr(pos, end - pos));
    if (!line.empty() && line.back() == '\r') line = Trimmed(line.substr(0, line.size() - 1));
    pos = end + 1;
    ++lineNumber;
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return failure(lineNumber, "a section header must end with ]");
      if (current) {
        if (Status st = finish(*current); !st) return st;
        config.accounts.push_back(*current);
        current.reset();
      }
      const std::string name = Trimmed(line.substr(1, line.size() - 2));
      section = Lower(name);
      // [onebot], [database], [update] and the like are read elsewhere.
      if (!section.starts_with("account") || (name.size() > 7 && name[7] != ' ' && name[7] != '\t'))
        continue;
      const std::string number = Trimmed(name.substr(7));
      const std::optional<int64_t> account = ParseAccount(number);
      if (!account)
        return failure(lineNumber, "[account " + number +
                                       "]: the section names the robot's QQ number, as "
                                       "[account 123456789]");
      if (auto it = seen.find(*account); it != seen.end())
        return failure(lineNumber, "account " + number +
                                       " has a second section (the first is on line " +
                                       std::to_string(it->second) + ")");
      seen[*account] = lineNumber;
      current = AccountSection{};
      current->account = *account;
      current->line = lineNumber;
      section = "account";
      continue;
    }
    const size_t eq = line.find('=');
    if (section != "account" && section != "onebot") continue;  // other sections are read elsewhere
    if (eq == std::string::npos || eq == 0) {
      if (section == "account")
        return failure(lineNumber, "expected key=value, not \"" + line + "\"");
      continue;
    }
    const std::string key = Lower(Trimmed(line.substr(0, eq)));
    const std::string value = Trimmed(line.substr(eq + 1));
    if (section == "onebot") {
      if (key == "access_token") shared = value;
      if (key == "accounts") {
        std::string error;
        const auto allowed = ParseAccountList(value, error);
        if (!allowed) return failure(lineNumber, "accounts=: " + error);
        config.allowed = *allowed;
        config.accountsGiven = true;
      }
      if (key == "hold_seconds") {
        const std::optional<int64_t> n =
            value.size() <= 6 && value.find_first_not_of("0123456789") == std::string::npos &&
                    !value.empty()
                ? std::optional<int64_t>(std::stoll(value))
                : std::nullopt;
        if (!n || *n < kMinHoldSeconds || *n > kMaxHoldSeconds)
          return failure(lineNumber, "hold_seconds=" + value + ": a number of seconds from " +
                                         std::to_string(kMinHoldSeconds) + " to " +
                                         std::to_string(kMaxHoldSeconds) + " is needed");
        config.holdFor = std::chrono::seconds(*n);
      }
      continue;
    }
    if (key == "url") {
      std::string error;
      if (!onebot::ParseWsUrl(value, error))
        return failure(lineNumber, "url=" + value + ": " + error);
      current->url = value;
    } else if (key == "access_token") {
      current->accessToken = value;
      current->ownToken = true;
    } else if (key == "token_file") {
      if (Status st = ReadTokenFile(value, current->accessToken); !st)
        return failure(lineNumber, st.message());
      current->ownToken = true;
    } else {
      return failure(lineNumber, "unknown key \"" + key +
                                     "\" in an account section (url, access_token, token_file)");
    }
  }
  if (current) {
    if (Status st = finish(*current); !st) return st;
    config.accounts.push_back(*current);
  }
  for (AccountSection& a : config.accounts)
    if (!a.ownToken) a.accessToken = shared;
  return Status::Ok();
}

}  // namespace bw::app
