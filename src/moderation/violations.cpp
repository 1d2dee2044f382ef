#include "moderation/violations.h"

#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "host/host_api.h"
#include "host/identity.h"
#include "host/image_info.h"
#include "host/message_variables.h"
#include "logs/run_log.h"
#include "membership/account_lists.h"
#include "membership/case_recorder.h"
#include "membership/departures.h"
#include "moderation/banned_words.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/warning_table.h"
#include "util/clock.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {

namespace {

constexpr std::string_view kLogViolation = "检测违规";

// The whole "[CQ:image,...]" code the size check measures (a host adapter may
// need more of it than the file name).
std::string FirstImageCode(std::string_view msg) {
  size_t at = msg.find("image,file=");
  if (at == std::string_view::npos) return {};
  size_t begin = msg.rfind('[', at);
  size_t end = msg.find(']', at);
  if (begin == std::string_view::npos || end == std::string_view::npos) return {};
  return std::string(msg.substr(begin, end - begin + 1));
}

// Minutes are positive here: a ban of 0 seconds lifts a mute.
int64_t MuteSeconds(int64_t minutes) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / 60;
  return minutes > kMax ? kMax * 60 : minutes * 60;
}

}  // namespace

struct Violations::Impl {
  Impl(Clock& c, HostApi& h, Settings& s, RunLog& r, const Identity& i, WarningTable& w,
       Departures& d, AccountLists& l, ImageInfo& img, CaseRecorder& cr)
      : clock(c),
        host(h),
        settings(s),
        runLog(r),
        identity(i),
        warnings(w),
        departures(d),
        lists(l),
        images(img),
        cases(cr) {}

  Clock& clock;
  HostApi& host;
  Settings& settings;
  RunLog& runLog;
  const Identity& identity;
  WarningTable& warnings;
  Departures& departures;
  AccountLists& lists;
  ImageInfo& images;
  CaseRecorder& cases;
  std::shared_ptr<OutcomeGate> gate = std::make_shared<OutcomeGate>();
  int subscription = 0;

  mutable std::mutex wordsMu;
  std::shared_ptr<const BannedWords> words;

  struct ImageRun {
    int64_t sender = 0;
    int64_t images = 0;
  };
  std::mutex stateMu;
  std::unordered_map<int64_t, ImageRun> imageRuns;  // by group
  int64_t lastOffender = 0;
  int64_t lastGroup = 0;

  void rebuildWords() {
    auto fresh = std::make_shared<const BannedWords>(
        BannedWords::FromText(settings.text(opt::kBannedWords)));
    std::lock_guard lock(wordsMu);
    words = std::move(fresh);
  }
  std::shared_ptr<const BannedWords> currentWords() const {
    std::lock_guard lock(wordsMu);
    return words;
  }

  // Returns the sender's running count after adding `added` images.
  int64_t addImages(int64_t group, int64_t sender, int64_t added) {
    std::lock_guard lock(stateMu);
    ImageRun& run = imageRuns[group];
    if (run.sender != sender) run = ImageRun{sender, 0};
    run.images += added;
    return run.images;
  }
  void restartImages(int64_t group) {
    std::lock_guard lock(stateMu);
    imageRuns[group].images = 0;
  }

  void sendTemplate(int64_t group, int64_t offender, std::string_view option) {
    host.CQ_sendGroupMsg(group, FillMessageVariables(settings.text(option), offender, clock.now()));
  }
  void mute(int64_t group, int64_t offender, const CaseContext& why);
};

Violations::Violations(Clock& clock, HostApi& host, Settings& settings, RunLog& runLog,
                       const Identity& identity, WarningTable& warnings, Departures& departures,
                       AccountLists& lists, ImageInfo& images, CaseRecorder& cases)
    : impl_(std::make_unique<Impl>(clock, host, settings, runLog, identity, warnings, departures,
                                   lists, images, cases)) {
  impl_->rebuildWords();
  Impl* impl = impl_.get();
  impl_->subscription = settings.subscribe([impl](const std::string& name) {
    if (name == opt::kBannedWords) {
      impl->rebuildWords();
    } else if (name == opt::kAdDetectionOn && !impl->settings.restoring()) {
      bool on = impl->settings.checked(opt::kAdDetectionOn);
      impl->runLog.WriteRunLog("操作", on ? "开启广告检测" : "关闭广告检测");
    }
  });
}

Violations::~Violations() {
  impl_->gate->close();
  impl_->settings.unsubscribe(impl_->subscription);
}

void Violations::noteSpeaker(int64_t group, int64_t sender) { impl_->addImages(group, sender, 0); }

bool Violations::check(const GroupMessageRecord& record, CaseContext* why) {
  Impl& m = *impl_;
  Settings& settings = m.settings;
  const std::string& msg = record.msg;
  const std::string sender = std::to_string(record.fromQQ);
  bool fired = false;
  auto found = [&](std::string_view option, std::string reason) {
    if (!why || fired) return;
    *why =
        CaseContext{CaseRecorder::RuleLabel(option), std::move(reason), CaseTable::Excerpt(msg), 0};
  };

  if (Contains(msg, "record,")) {
    noteSpeaker(record.fromGroup, record.fromQQ);
    if (settings.checked(opt::kPunishVoice)) {
      found(opt::kPunishVoice, "发送语音");
      m.runLog.WriteRunLog(kLogViolation, sender + " 检测到语音违规");
      fired = true;
    }
  } else if (Contains(msg, "image,")) {
    if (settings.checked(opt::kPunishImageSize)) {
      ImageSize size =
          m.images.imageSize(TextBetween(msg, "image,file=", "]"), FirstImageCode(msg));
      if (TextToInt(size.width) > settings.number(opt::kImageMaxWidth) ||
          TextToInt(size.height) > settings.number(opt::kImageMaxHeight)) {
        found(opt::kPunishImageSize, "图片过大 " + size.width + "×" + size.height);
        m.runLog.WriteRunLog(kLogViolation,
                             sender + " 检测到大图违规大小" + size.width + "×" + size.height);
        fired = true;
      }
    }
    int64_t added =
        settings.checked(opt::kPunishImageRun) ? CountOccurrences(msg, "image", true) : 0;
    int64_t running = m.addImages(record.fromGroup, record.fromQQ, added);
    if (added > 0 && running >= settings.number(opt::kImageRunLength)) {
      found(opt::kPunishImageRun, "连续发图 " + std::to_string(running) + " 张");
      m.runLog.WriteRunLog(
          kLogViolation, sender + " 检测到连续发图违规 连续发图" + std::to_string(running) + "张");
      fired = true;
    }
  } else {
    noteSpeaker(record.fromGroup, record.fromQQ);
  }

  if (!fired) {
    auto words = m.currentWords();
    if (auto hit = words->firstMatch(msg)) {
      found(opt::kBannedWordsOn, "违规词：" + words->words()[*hit]);
      m.runLog.WriteRunLog(kLogViolation,
                           sender + " 检测到违规词" + words->words()[*hit] + " 发送内容是:" + msg);
      fired = true;
    }
  }
  // The penalty that follows settles the images counted so far.
  if (fired) m.restartImages(record.fromGroup);
  return fired;
}

void Violations::punish(int64_t group, int64_t offender, PenaltyMode mode) {
  punish(group, offender, mode, CaseContext{});
}

void Violations::punish(int64_t group, int64_t offender, PenaltyMode mode, const CaseContext& why) {
  Impl& m = *impl_;
  Settings& settings = m.settings;
  const std::string who = std::to_string(offender);
  const std::string where = std::to_string(group);
  if (m.identity.isUntouchable(offender)) {
    // A message the host attributes to the robot, or a command naming it: the
    // robot would warn, mute or kick itself.
    LogWarning("penalty refused: " + who + " is the robot's own account or no account (group " +
               where + ")");
    return;
  }
  if (group <= 0) {
    LogWarning("penalty refused: " + where + " is no group (offender " + who + ")");
    return;
  }
  auto rememberPair = [&] {
    std::lock_guard lock(m.stateMu);
    m.lastOffender = offender;
    m.lastGroup = group;
  };

  if (mode == PenaltyMode::kNormal && settings.checked(opt::kWarnBeforePunish)) {
    int32_t count = m.warnings.addWarning(offender);
    if (count < settings.number(opt::kWarningsBeforePunish)) {
      m.sendTemplate(group, offender, opt::kWarningText);
      CaseContext warned = why;
      warned.reason += (warned.reason.empty() ? "" : "，") + std::string("第 ") +
                       std::to_string(count) + " 次警告";
      m.cases.record(kCaseWarn, group, offender, warned);
      rememberPair();
      return;
    }
  }

  if (settings.checked(opt::kPenaltyNoticeOn)) {
    bool repeated;
    {
      std::lock_guard lock(m.stateMu);
      repeated = offender == m.lastOffender && group == m.lastGroup;
    }
    if (!repeated) m.sendTemplate(group, offender, opt::kPenaltyNotice);
  }

  if (settings.checked(opt::kPenaltyKick) || mode == PenaltyMode::kKick) {
    if (settings.checked(opt::kKickInviter)) {
      m.departures.kickInviters(
          offender, CaseContext{CaseRecorder::RuleLabel(opt::kKickInviter), "邀请了违规成员 " + who,
                                why.evidence, why.actor});
    }
    // Written once the kick was done: a refused kick is the host's failure
    // report alone.
    m.departures.kickMember(group, offender, false,
                            [&runLog = m.runLog, &cases = m.cases, text = who + "踢出 群" + where,
                             group, offender, why] {
                              runLog.WriteRunLog("踢人", text);
                              cases.record(kCaseKick, group, offender, why);
                            });
    if (settings.checked(opt::kBlacklistOnKick)) {
      if (m.lists.addToList(AccountList::kBlacklist, who)) {
        CaseContext listed = why;
        listed.rule = CaseRecorder::RuleLabel(opt::kBlacklistOnKick);
        listed.reason = why.reason.empty() ? why.rule : why.rule + "：" + why.reason;
        m.cases.record(kCaseBlacklist, group, offender, listed);
      }
      if (settings.checked(opt::kBlacklistKickEverywhere)) {
        m.departures.kickEverywhere(
            offender, 1000,
            CaseContext{CaseRecorder::RuleLabel(opt::kBlacklistKickEverywhere),
                        "已拉黑，所有群踢出", why.evidence, why.actor});
      }
    }
  } else {
    m.mute(group, offender, why);
  }
  rememberPair();
}

void Violations::Impl::mute(int64_t group, int64_t offender, const CaseContext& why) {
  const std::string minutesText = settings.text(opt::kMuteMinutes);
  const int64_t minutes = TextToInt(minutesText);
  if (minutes <= 0) {
    // The host reads a ban of 0 seconds as "lift the mute": the owner must
    // fill in a length before a mute can be imposed.
    runLog.WriteRunLog("禁言", "禁言失败: 禁言时间为" + std::to_string(minutes) +
                                   "分钟, 请在广告检测页填写禁言时间 (" + std::to_string(offender) +
                                   "在群" + std::to_string(group) + "未被禁言)");
    return;
  }
  // Written once the mute was done; the gate drops an outcome that comes
  // after these rules are gone.
  const int64_t seconds = MuteSeconds(minutes);
  host.setGroupBanThen(group, offender, seconds,
                       [gate = gate, &log = runLog, &cases = cases,
                        text = std::to_string(offender) + "在群" + std::to_string(group) + "禁言" +
                               minutesText + "分钟",
                        group, offender, seconds, why](bool done) {
                         if (!done) return;
                         gate->run([&] {
                           log.WriteRunLog("禁言", text);
                           cases.record(kCaseMute, group, offender, why, seconds);
                         });
                       });
}

}  // namespace bw
