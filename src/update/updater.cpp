#include "update/updater.h"

#include <cctype>
#include <charconv>
#include <cmath>

#include "events/delay.h"
#include "host/host_api.h"
#include "logs/run_log.h"
#include "util/files.h"
#include "util/log.h"
#include "web/web_client.h"

namespace bw {

namespace {

constexpr double kTolerance = 0.0000001;
constexpr std::string_view kVersionFile = "update.txt";
constexpr std::string_view kPackageDownload = "update.zip";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool StartsWithHttps(std::string_view url) {
  constexpr std::string_view kScheme = "https://";
  if (url.size() < kScheme.size()) return false;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    const char c = url[i] >= 'A' && url[i] <= 'Z' ? static_cast<char>(url[i] - 'A' + 'a') : url[i];
    if (c != kScheme[i]) return false;
  }
  return true;
}

// The value of a header in CRLF-separated header text (name without case), or "".
std::string HeaderValue(const std::string& headers, std::string_view name) {
  size_t pos = 0;
  while (pos < headers.size()) {
    size_t end = headers.find("\r\n", pos);
    if (end == std::string::npos) end = headers.size();
    std::string_view line(headers.data() + pos, end - pos);
    const size_t colon = line.find(':');
    if (colon == name.size()) {
      bool same = true;
      for (size_t i = 0; i < colon && same; ++i) {
        same = std::tolower(static_cast<unsigned char>(line[i])) ==
               std::tolower(static_cast<unsigned char>(name[i]));
      }
      if (same) {
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
          value.remove_prefix(1);
        }
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
          value.remove_suffix(1);
        }
        return std::string(value);
      }
    }
    pos = end + 2;
  }
  return {};
}

}  // namespace

double ReadLeadingNumber(std::string_view text) {
  size_t i = 0;
  // A byte-order mark left by an editor is no part of the number.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") i = 3;
  while (i < text.size() &&
         (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t start = i;
  size_t digits = 0;
  while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return 0;
  // An exponent counts only when digits follow it.
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    if (j < text.size() && IsDigit(text[j])) {
      while (j < text.size() && IsDigit(text[j])) ++j;
      i = j;
    }
  }
  double value = 0;
  auto [end, ec] = std::from_chars(text.data() + start, text.data() + i, value);
  if (ec == std::errc::result_out_of_range)
    value = HUGE_VAL;
  else if (ec != std::errc())
    return 0;
  (void)end;
  return negative ? -value : value;
}

bool IsNewerVersion(std::string_view versionText, std::string_view builtIn) {
  const double v = ReadLeadingNumber(versionText);
  if (std::fabs(v) <= kTolerance) return false;
  return v - ReadLeadingNumber(builtIn) > kTolerance;
}

Updater::Updater(Clock& clock, HostApi& host, RunLog& runLog, const WebClient& web,
                 UpdateConfig config, std::string runDirectory)
    : clock_(clock),
      host_(host),
      runLog_(runLog),
      web_(web),
      config_(std::move(config)),
      runDirectory_(std::move(runDirectory)) {}

std::string Updater::packagePath() const { return JoinPath(runDirectory_, kPackageFile); }

bool Updater::updateAvailable() {
  if (config_.baseUrl.empty()) return false;
  WebRequest request;
  request.url = config_.baseUrl + std::string(kVersionFile);
  const std::string body = web_.send(request);
  {
    std::lock_guard lock(mu_);
    latest_ = body;
  }
  return IsNewerVersion(body);
}

std::string Updater::latestVersionText() const {
  std::lock_guard lock(mu_);
  return latest_;
}

bool Updater::installUpdate() {
  const std::string url = config_.baseUrl + std::string(kPackageDownload);
  if (!StartsWithHttps(url)) {
    LogWarning("update: the package is only downloaded over HTTPS, not from " + url);
    return false;
  }
  WebRequest request;
  request.url = url;
  request.verifyCertificate = true;
  request.caFile = config_.caFile;
  // A package takes longer than a page: the transport's connect and idle limits.
  request.timeoutSeconds = -1;
  const std::string body = web_.send(request);
  if (request.status != 200) {
    LogWarning("update: " + url + " answered with status " + std::to_string(request.status));
    return false;
  }
  if (body.size() <= kMaximumRejectedPackageBytes) {
    LogWarning("update: the package of " + std::to_string(body.size()) +
               " bytes is too small to be one");
    return false;
  }
  // A transport that decodes a compressed body makes the length incomparable.
  const std::string length = HeaderValue(request.responseHeaders, "Content-Length");
  const bool encoded = !HeaderValue(request.responseHeaders, "Content-Encoding").empty();
  if (!encoded && !length.empty() && length != std::to_string(body.size())) {
    LogWarning("update: the package arrived incomplete (" + std::to_string(body.size()) + " of " +
               length + " bytes)");
    return false;
  }
  const std::string path = packagePath();
  if (!EnsureDirectory(JoinPath(runDirectory_, "app"))) {
    LogWarning("update: cannot create the package directory of " + path);
    return false;
  }
  if (Status s = WriteFileAtomic(path, body); !s) {
    LogWarning("update: cannot write " + path + ": " + s.message());
    return false;
  }
  return true;
}

std::string Updater::caption(std::string_view note) {
  return "青榆群卫 V" + std::string(kBuiltInVersion) +
         "             当前登录QQ:" + std::to_string(host_.CQ_getLoginQQ()) +
         "             昵称:" + host_.CQ_getLoginNick() + std::string(note);
}

void Updater::reportNewVersion() {
  std::string version = latestVersionText();
  while (!version.empty() && (version.back() == '\n' || version.back() == '\r')) {
    version.pop_back();
  }
  runLog_.WriteRunLog("更新",
                      "发现新版本 " + version + "，当前版本 " + std::string(kBuiltInVersion));
}

void Updater::checkAndInstallAtEnable(UpdateUi& ui) {
  if (!updateAvailable()) return;
  if (!config_.installs) {
    reportNewVersion();
    return;
  }
  ui.showInformation("有新版本正在更新", /*wait=*/false);
  if (installUpdate()) {
    ui.showInformation("更新成功请重新启动酷Q", /*wait=*/true);
    ui.terminateHost();
  } else {
    ui.showInformation("更新失败", /*wait=*/true);
  }
}

void Updater::periodicUpdateCheck(UpdateUi& ui, std::stop_token stop) {
  while (delay(clock_, config_.periodMinutes, 2, stop)) {
    if (!updateAvailable()) continue;
    if (!config_.installs) {
      reportNewVersion();
      ui.setCaption(caption(kCaptionNewVersion));
      return;
    }
    if (!installUpdate()) continue;
    ui.setCaption(caption(kCaptionInstalled));
    return;
  }
}

}  // namespace bw
