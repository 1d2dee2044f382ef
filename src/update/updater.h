// Updater: finds a newer version of the robot on its update server and, on a
// host that loads packages (the Windows plug-in), installs it over the robot's
// package file; elsewhere (the Linux service) it only reports that a newer
// version exists, in the run log and the caption.
//
// The server publishes "update.txt" (text whose leading number is the newest
// version) and "update.zip" (the package). The package is executable code, so
// it is only taken over HTTPS with the server's certificate verified, and it is
// written to a temporary file and renamed: a failed or interrupted download
// never touches the installed package.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>

namespace bw {

class Clock;
class HostApi;
class RunLog;
class WebClient;

inline constexpr std::string_view kBuiltInVersion = "2.2";
// A package must be larger than this, so an error page never replaces it.
inline constexpr size_t kMaximumRejectedPackageBytes = 500000;
// Below the run directory.
inline constexpr std::string_view kPackageFile = "app/com.brindle.warden.cpk";
// Caption notes: an update was installed / (report only) a newer version exists.
inline constexpr std::string_view kCaptionInstalled = " 有新版本已经更新请重启酷Q";
inline constexpr std::string_view kCaptionNewVersion = " 有新版本请更新";

// The number a text starts with: leading blanks skipped, then the longest
// prefix of sign, digits, decimal point and exponent; 0 when there is none.
double ReadLeadingNumber(std::string_view text);
// Whether the version text names a version above `builtIn` (by more than
// 0.0000001; an unreadable or zero version never does).
bool IsNewerVersion(std::string_view versionText, std::string_view builtIn = kBuiltInVersion);

// Message boxes and the caption line of whatever window the host shows.
class UpdateUi {
 public:
  virtual ~UpdateUi() = default;
  // With `wait`, returns once the user closed the box; without, returns at once.
  virtual void showInformation(const std::string& text, bool wait) = 0;
  virtual void setCaption(const std::string& text) = 0;
  // Ends the host process (exit code 0) so that the user restarts it.
  virtual void terminateHost() = 0;
};

struct UpdateConfig {
  // Scheme, host and directory of the update server, ending in "/".
  std::string baseUrl;
  // True where the host loads the package file (Windows plug-in); false: report only.
  bool installs = false;
  // Trusted authorities for the package download; empty: the system's.
  std::string caFile;
  // The wait between periodic checks.
  int32_t periodMinutes = 30;
};

class Updater {
 public:
  Updater(Clock& clock, HostApi& host, RunLog& runLog, const WebClient& web, UpdateConfig config,
          std::string runDirectory);

  // Reads "update.txt"; true when it names a newer version.
  bool updateAvailable();
  // The text "update.txt" held at the last check ("" before one or on failure).
  std::string latestVersionText() const;

  // Downloads "update.zip" and writes it as the package file; true when a
  // package of more than 500,000 bytes was written.
  bool installUpdate();

  // The update step of enabling: with a newer version, installs it and ends
  // the host (or reports it, where the robot does not install).
  void checkAndInstallAtEnable(UpdateUi& ui);
  // The periodic check: every periodMinutes on the clock until an update was
  // installed (or reported), or `stop` is requested.
  void periodicUpdateCheck(UpdateUi& ui, std::stop_token stop);

  std::string packagePath() const;
  // The caption line with the login account and nickname, and `note` after them.
  std::string caption(std::string_view note);

 private:
  void reportNewVersion();

  Clock& clock_;
  HostApi& host_;
  RunLog& runLog_;
  const WebClient& web_;
  const UpdateConfig config_;
  const std::string runDirectory_;

  mutable std::mutex mu_;
  std::string latest_;
};

}  // namespace bw
