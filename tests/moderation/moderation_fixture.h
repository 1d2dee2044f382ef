// ModerationFixture: a RobotFixture with every rule module built through
// RuleModules, as the service builds them. Image sizes come from .cqimg files
// under the run directory, written by the test.
#pragma once

#include <string>
#include <vector>

#include "core/rule_modules.h"
#include "host/cq_code.h"
#include "host_actions.h"
#include "storage/cqimg_file_info.h"
#include "storage/database.h"
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

  CqImgFileInfo images{identity};
  RuleModules rules{services(images)};
  InviteStats& invites = rules.invites;
  AccountLists& accounts = rules.accountLists;
  Departures& departures = rules.departures;
  Violations& violations = rules.violations;
  KeywordReplies& replies = rules.keywordReplies;
  GroupMessageProcessor& processor = rules.processor;
  PrivateMessageHandler& privateHandler = rules.privateMessages;

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

  std::vector<std::string> acts() const { return CompactActions(host); }

  // The stored warning count; -1 without a row.
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
