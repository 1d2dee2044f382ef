// ModerationFixture: a RobotFixture with the real membership modules and the
// group-message modules wired together as the service wires them. Image sizes
// come from .cqimg files under the run directory, written by the test.
#pragma once

#include <string>
#include <vector>

#include "host/cq_code.h"
#include "membership/account_lists.h"
#include "membership/departures.h"
#include "membership/invite_stats.h"
#include "membership/member_limit.h"
#include "membership/member_removal.h"
#include "moderation/group_message_processor.h"
#include "moderation/keyword_replies.h"
#include "moderation/violations.h"
#include "storage/account_list_table.h"
#include "storage/cqimg_file_info.h"
#include "storage/database.h"
#include "storage/invite_table.h"
#include "storage/member_table.h"
#include "support/robot_fixture.h"
#include "support/temp_dir.h"
#include "util/files.h"

namespace bw::test {

inline constexpr int64_t kGroupA = 111111;
inline constexpr int64_t kGroupB = 222222;
inline constexpr int64_t kMember = 123456;
inline constexpr int64_t kOther = 654321;
inline constexpr int64_t kAdmin = 1000000;  // the built-in administrator
inline constexpr int64_t kRobot = 10000;    // the fixture's login account

class ModerationFixture : public RobotFixture {
 public:
  ModerationFixture() { manage({kGroupA, kGroupB}); }

  MemberTable memberTable{db};
  InviteTable inviteTable{db};
  AccountListTable accountListTable{db};
  InviteStats invites{clock, host, settings, lists, runLog, qq, inviteTable};
  AccountLists accounts{clock, settings, lists, runLog, qq, accountListTable, memberTable};
  MemberRemoval removal{host, groupLog, identity, invites, memberTable};
  MemberLimit limit{clock, host, settings, lists, identity, memberTable, removal};
  Departures departures{clock,       settings,    runLog,  groupLog, managedGroups, {},
                        memberTable, inviteTable, invites, accounts, limit,         removal};
  CqImgFileInfo images{identity};
  Violations violations{*robot, departures, accounts, images};
  KeywordReplies replies{*robot};
  GroupMessageProcessor processor{*robot, invites, accounts, violations, replies};
  PrivateMessageHandler privateHandler{*robot, replies};

  void post(int64_t group, int64_t sender, const std::string& msg) {
    GroupMessageRecord record;
    record.fromGroup = group;
    record.fromQQ = sender;
    record.msg = msg;
    processor.process(record);
  }

  // The host's description file of an image.
  void writeImage(const std::string& name, const std::string& width, const std::string& height) {
    const std::string dirPath = dir.path() + "data/image/";
    EnsureDirectory(dirPath);
    WriteAll(dirPath + name + ".cqimg",
             "[image]\r\nmd5=0\r\nwidth=" + width + "\r\nheight=" + height + "\r\nsize=1\r\n");
  }

  void addMemberRow(int64_t group, int64_t qq) {
    db.Execute("insert into 群成员(群号,QQ号,加群时间) values('" + std::to_string(group) + "','" +
               std::to_string(qq) + "','1765000000')");
  }

  // Host actions in compact form: "send_group_msg 111111 <text>",
  // "set_group_kick 111111 123456", "set_group_ban 111111 123456 60".
  std::vector<std::string> acts() const {
    std::vector<std::string> out;
    for (const HostCall& c : host.actions()) {
      std::string line = c.action;
      if (c.action == "send_private_msg") {
        line += " " + std::to_string(c.account) + " " + c.text;
      } else {
        line += " " + std::to_string(c.group);
        if (c.action == "send_group_msg") line += " " + c.text;
        if (c.action == "set_group_kick") line += " " + std::to_string(c.account);
        if (c.action == "set_group_ban")
          line += " " + std::to_string(c.account) + " " + std::to_string(c.number);
      }
      out.push_back(line);
    }
    return out;
  }

  int64_t warnings(int64_t qq) {
    return count("select 警告次数 from 警告记录 where QQ号='" + std::to_string(qq) + "'");
  }

  void addKeyword(const std::string& keyword, const std::string& reply, const std::string& mode,
                  const std::string& limitText = "0", const std::string& replied = "0") {
    ListRow row;
    row.cells = {
        std::to_string(lists.keywords.rowCount() + 1), keyword, reply, mode, limitText, replied};
    lists.keywords.append(row);
    replies.RebuildKeywordReplies();
  }
};

inline std::string At(int64_t qq) { return cq::At(qq); }

}  // namespace bw::test
