#include "moderation/violations.h"

#include <limits>
#include <unordered_map>
#include <vector>

#include "events/delay.h"
#include "host/host_api.h"
#include "host/image_info.h"
#include "host/robot.h"
#include "logs/run_log.h"
#include "membership/account_lists.h"
#include "membership/departures.h"
#include "moderation/banned_words.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/database.h"
#include "storage/sql.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time_text.h"

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

int64_t MuteSeconds(int64_t minutes) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / 60;
  if (minutes > kMax) return kMax * 60;
  if (minutes < -kMax) return -kMax * 60;
  return minutes * 60;
}

}  // namespace

struct Violations::Impl {
  Impl(Robot& r, Departures& d, AccountLists& l, ImageInfo& i)
      : robot(r), departures(d), lists(l), images(i) {}

  Robot& robot;
  Departures& departures;
  AccountLists& lists;
  ImageInfo& images;
  int subscription = 0;

  mutable std::mutex wordsMu;
  std::shared_ptr<const BannedWords> words;

  struct ImageRun {
    int64_t sender = 0;
    int64_t images = 0;
  };
  std::mutex stateMu;
  std::unordered_map<int64_t, ImageRun> imageRuns;  // by group
  std::string lastOffender;
  std::string lastGroup;

  void rebuildWords() {
    auto fresh = std::make_shared<const BannedWords>(
        BannedWords::FromText(robot.settings.text(opt::kBannedWords)));
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

  void send(const std::string& group, const std::string& text) {
    robot.host.CQ_sendGroupMsg(TextToInt(group), text);
  }
};

Violations::Violations(Robot& robot, Departures& departures, AccountLists& lists, ImageInfo& images)
    : impl_(std::make_unique<Impl>(robot, departures, lists, images)) {
  impl_->rebuildWords();
  Impl* impl = impl_.get();
  impl_->subscription = robot.settings.subscribe([impl](const std::string& name) {
    if (name == opt::kBannedWords) {
      impl->rebuildWords();
    } else if (name == opt::kAdDetectionOn && !impl->robot.settings.restoring()) {
      bool on = impl->robot.settings.checked(opt::kAdDetectionOn);
      impl->robot.runLog.WriteRunLog("操作", on ? "开启广告检测" : "关闭广告检测");
    }
  });
}

Violations::~Violations() { impl_->robot.settings.unsubscribe(impl_->subscription); }

void Violations::noteSpeaker(int64_t group, int64_t sender) { impl_->addImages(group, sender, 0); }

bool Violations::check(const GroupMessageRecord& record) {
  Impl& m = *impl_;
  Settings& settings = m.robot.settings;
  const std::string& msg = record.msg;
  const std::string sender = std::to_string(record.fromQQ);
  bool fired = false;

  if (Contains(msg, "record,")) {
    noteSpeaker(record.fromGroup, record.fromQQ);
    if (settings.checked(opt::kPunishVoice)) {
      m.robot.runLog.WriteRunLog(kLogViolation, sender + " 检测到语音违规");
      fired = true;
    }
  } else if (Contains(msg, "image,")) {
    if (settings.checked(opt::kPunishImageSize)) {
      ImageSize size =
          m.images.imageSize(TextBetween(msg, "image,file=", "]"), FirstImageCode(msg));
      if (TextToInt(size.width) > settings.number(opt::kImageMaxWidth) ||
          TextToInt(size.height) > settings.number(opt::kImageMaxHeight)) {
        m.robot.runLog.WriteRunLog(kLogViolation,
                                   sender + " 检测到大图违规大小" + size.width + "×" + size.height);
        fired = true;
      }
    }
    int64_t added =
        settings.checked(opt::kPunishImageRun) ? CountOccurrences(msg, "image", true) : 0;
    int64_t running = m.addImages(record.fromGroup, record.fromQQ, added);
    if (added > 0 && running >= settings.number(opt::kImageRunLength)) {
      m.robot.runLog.WriteRunLog(
          kLogViolation, sender + " 检测到连续发图违规 连续发图" + std::to_string(running) + "张");
      fired = true;
    }
  } else {
    noteSpeaker(record.fromGroup, record.fromQQ);
  }

  if (!fired) {
    auto words = m.currentWords();
    if (auto hit = words->firstMatch(msg)) {
      m.robot.runLog.WriteRunLog(
          kLogViolation, sender + " 检测到违规词" + words->words()[*hit] + " 发送内容是:" + msg);
      fired = true;
    }
  }
  // The penalty that follows settles the images counted so far.
  if (fired) m.restartImages(record.fromGroup);
  return fired;
}

void Violations::punish(const std::string& offender, const std::string& group, PenaltyMode mode) {
  Impl& m = *impl_;
  Settings& settings = m.robot.settings;
  if (!IsAccountNumber(offender) || !IsAccountNumber(group)) {
    LogWarning("penalty refused: \"" + offender + "\" in group \"" + group +
               "\" is no account number");
    return;
  }
  auto rememberPair = [&] {
    std::lock_guard lock(m.stateMu);
    m.lastOffender = offender;
    m.lastGroup = group;
  };

  if (mode == PenaltyMode::kNormal && settings.checked(opt::kWarnBeforePunish)) {
    int32_t count = newWarningCount(offender);
    if (count < settings.number(opt::kWarningsBeforePunish)) {
      m.send(group, fillTemplate(settings.text(opt::kWarningText), offender));
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
    if (!repeated) m.send(group, fillTemplate(settings.text(opt::kPenaltyNotice), offender));
  }

  if (settings.checked(opt::kPenaltyKick) || mode == PenaltyMode::kKick) {
    const int64_t member = TextToInt(offender);
    if (settings.checked(opt::kKickInviter)) m.departures.kickInviters(member);
    m.departures.kickMember(TextToInt(group), member, false);
    m.robot.runLog.WriteRunLog("踢人", offender + "踢出 群" + group);
    if (settings.checked(opt::kBlacklistOnKick)) {
      m.lists.addToList(AccountList::kBlacklist, offender);
      if (settings.checked(opt::kBlacklistKickEverywhere))
        m.departures.kickEverywhere(member, 1000);
    }
  } else {
    const std::string minutes = settings.text(opt::kMuteMinutes);
    m.robot.host.CQ_setGroupBan(TextToInt(group), TextToInt(offender),
                                MuteSeconds(TextToInt(minutes)));
    m.robot.runLog.WriteRunLog("禁言", offender + "在群" + group + "禁言" + minutes + "分钟");
  }
  rememberPair();
}

int32_t Violations::newWarningCount(const std::string& qq) {
  Database& db = impl_->robot.db;
  auto hold = db.exclusive();
  bool haveRow = false;
  int64_t old = 0;
  {
    ScopedQuery q(db, "select 警告次数 from 警告记录 where QQ号 =" + SqlQuote(qq));
    if (q.next()) {
      haveRow = true;
      old = TextToInt(q.text("警告次数"));
    }
  }
  const int64_t fresh = old >= INT32_MAX ? INT32_MAX : old + 1;
  // Update whenever a row exists: a row holding 0 (a reset count) must not get
  // a second row beside it, which would keep the count at 1 for ever.
  bool ok = haveRow
                ? static_cast<bool>(db.Execute("update 警告记录 set 警告次数=" + SqlQuote(fresh) +
                                               " where QQ号=" + SqlQuote(qq)))
                : static_cast<bool>(db.Execute("insert into 警告记录(QQ号,警告次数) values(" +
                                               SqlQuote(qq) + "," + SqlQuote(fresh) + ")"));
  if (!ok) LogWarning("warning count of " + qq + " not stored");
  return static_cast<int32_t>(fresh);
}

std::string Violations::fillTemplate(const std::string& text, const std::string& offender) const {
  std::string out = ReplaceAll(text, "[昵称]", "[CQ:at,qq=" + offender + "] ");
  if (Contains(out, "[时间]"))
    out = ReplaceAll(out, "[时间]", DateTimeText(impl_->robot.clock.now()));
  return out;
}

}  // namespace bw
