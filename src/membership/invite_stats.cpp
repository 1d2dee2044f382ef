#include "membership/invite_stats.h"

#include <vector>

#include "host/cq_code.h"
#include "host/host_api.h"
#include "host/robot.h"
#include "logs/run_log.h"
#include "storage/database.h"
#include "storage/sql.h"
#include "settings/list_model.h"
#include "settings/settings_model.h"
#include "util/clock.h"
#include "util/text.h"
#include "util/time_text.h"
#include "web/qq_services.h"
#include "settings/option_names.h"

namespace bw {
namespace {


std::string AtCode(const std::string& qq) { return cq::At(TextToInt(qq)); }

}  // namespace

InviteStats::InviteStats(Robot& robot) : robot_(robot) {
  subscription_ = robot_.settings.subscribe([this](const std::string& name) {
    if (name != opt::kInviteQueryOn || robot_.settings.restoring()) return;
    robot_.runLog.WriteRunLog(
        "操作", robot_.settings.checked(opt::kInviteQueryOn) ? "开启邀请查询" : "关闭邀请查询");
  });
}

InviteStats::~InviteStats() { robot_.settings.unsubscribe(subscription_); }

int32_t InviteStats::recordInvitation(const std::string& inviter, const std::string& member,
                                      const std::string& group) {
  Database& db = robot_.db;
  // The nickname is a web request: never fetch it while holding the database.
  // A first invitation fetches it and then re-reads the counts, which another
  // worker may have created meanwhile.
  std::string nickname;
  bool haveNickname = false;
  for (;;) {
    auto exclusive = db.exclusive();
    int32_t present = 0;
    int32_t total = 0;
    {
      ScopedQuery q(db, "select 现存个数,邀请个数 from 邀请统计 where QQ号 =" + SqlQuote(inviter));
      if (q.next()) {
        present = q.integer(0);
        total = q.integer(1);
      }
    }
    ++present;
    ++total;
    if (total == 1) {
      if (!haveNickname) {
        exclusive.unlock();
        nickname = robot_.qq.fetchNickname(inviter);
        haveNickname = true;
        continue;
      }
      db.Execute("insert into 邀请统计(QQ号,昵称,现存个数,邀请个数) values(" + SqlQuote(inviter) +
                 "," + SqlQuote(nickname) + "," + SqlQuote(present) + "," + SqlQuote(total) + ")");
    } else {
      db.Execute("update 邀请统计 set 现存个数=" + SqlQuote(present) +
                 ",邀请个数=" + SqlQuote(total) + " where QQ号=" + SqlQuote(inviter));
    }
    db.Execute("insert into 邀请记录(QQ号,群号,邀请人QQ) values(" + SqlQuote(member) + "," +
               SqlQuote(group) + "," + SqlQuote(inviter) + ")");
    return present;
  }
}

int32_t InviteStats::recordDeparture(const std::string& member, const std::string& group) {
  Database& db = robot_.db;
  auto exclusive = db.exclusive();
  std::string inviter;
  {
    ScopedQuery q(db, "select 邀请人QQ from 邀请记录 where QQ号 =" + SqlQuote(member) +
                          " and 群号 = " + SqlQuote(group));
    if (q.next()) inviter = q.text(0);
  }
  if (inviter.empty()) return 0;
  db.Execute("delete from 邀请记录 where QQ号 =" + SqlQuote(member) +
             " and 群号 = " + SqlQuote(group));
  int32_t present = 0;
  int32_t left = 0;
  {
    ScopedQuery q(db, "select 现存个数,退出个数 from 邀请统计 where QQ号 =" + SqlQuote(inviter));
    if (q.next()) {
      present = q.integer(0);
      left = q.integer(1);
    }
  }
  --present;
  ++left;
  db.Execute("update 邀请统计 set 现存个数=" + SqlQuote(present) + ",退出个数=" + SqlQuote(left) +
             "  where QQ号=" + SqlQuote(inviter));
  return present;
}

void InviteStats::replyInviteQuery(const std::string& asker, const std::string& group) {
  int32_t present = 0;
  int32_t left = 0;
  int32_t total = 0;
  {
    ScopedQuery q(robot_.db,
                  "select 现存个数,退出个数,邀请个数 from 邀请统计 where QQ号 =" + SqlQuote(asker));
    if (q.next()) {
      present = q.integer(0);
      left = q.integer(1);
      total = q.integer(2);
    }
  }
  std::string text = robot_.settings.text(opt::kInviteQueryReply);
  text = ReplaceAll(text, "[昵称]", AtCode(asker));
  text = ReplaceAll(text, "[时间]", DateTimeText(robot_.clock.now()));
  text = ReplaceAll(text, "[现存邀请人数]", std::to_string(present));
  text = ReplaceAll(text, "[总邀请人数]", std::to_string(total));
  text = ReplaceAll(text, "[退出邀请人数]", std::to_string(left));
  robot_.host.CQ_sendGroupMsg(TextToInt(group), text);
}

void InviteStats::replyInvitedList(const std::string& inviter, const std::string& group) {
  std::string list;
  {
    ScopedQuery q(robot_.db, "select QQ号 from 邀请记录 where 邀请人QQ =" + SqlQuote(inviter));
    while (q.next()) list += q.text(0) + "\r\n";
  }
  robot_.host.CQ_sendGroupMsg(TextToInt(group), AtCode(inviter) + "邀请的QQ有\r\n" + list);
}

void InviteStats::clearInviteStats(const std::string& inviter, const std::string& group) {
  {
    auto exclusive = robot_.db.exclusive();
    robot_.db.Execute("delete from 邀请统计 where QQ号=" + SqlQuote(inviter));
    robot_.db.Execute("delete from 邀请记录 where 邀请人QQ=" + SqlQuote(inviter));
  }
  robot_.host.CQ_sendGroupMsg(TextToInt(group), AtCode(inviter) + "邀请记录已清空!");
}

void InviteStats::showInviteStats(const std::string& filter) {
  const std::string sql = filter.empty() ? std::string("select * from 邀请统计 ")
                                         : "select * from 邀请统计 where QQ号=" + SqlQuote(filter);
  std::vector<ListRow> rows;
  {
    ScopedQuery q(robot_.db, sql);
    bool more = q.next();
    while (more) {
      const std::string qq = q.text("QQ号");
      if (qq.empty()) break;
      ListRow row;
      row.cells = {std::to_string(rows.size() + 1),
                   qq,
                   q.text("昵称"),
                   std::to_string(q.integer("现存个数")),
                   std::to_string(q.integer("邀请个数")),
                   std::to_string(q.integer("退出个数"))};
      rows.push_back(std::move(row));
      more = q.next();
    }
  }
  robot_.lists.inviteStats.replaceAll(std::move(rows));
}

}  // namespace bw
