// Option names: one constant for every control of the option table, so that a
// misspelt name fails to compile instead of silently reading a default. The
// texts are the controls' own names, the keys of "setsoft.ini"; a test checks
// that each constant stands in the table and that no other file of src/ spells
// a control name out.
#pragma once

namespace bw::opt {

inline constexpr char kKeywordReplyOn[] = "选择框_开启关键词回复";
inline constexpr char kReplyInGroups[] = "选择框_回复群消息";
inline constexpr char kReplyInPrivate[] = "选择框_回复私聊消息";
inline constexpr char kReplyKeyword[] = "编辑框_回复关键词";
inline constexpr char kReplyText[] = "编辑框_回复语";
inline constexpr char kReplyCount[] = "编辑框_回复次数";
inline constexpr char kExactMatch[] = "单选框_精准匹配";
inline constexpr char kFuzzyMatch[] = "单选框_模糊匹配";
inline constexpr char kWelcomeOn[] = "选择框_开启进群欢迎";
inline constexpr char kWelcomeText[] = "编辑框_欢迎语";
inline constexpr char kWelcomeGroupOnly[] = "单选框_只发群";
inline constexpr char kWelcomePrivateOnly[] = "单选框_只发私聊";
inline constexpr char kWelcomeBoth[] = "单选框_两者都发";
inline constexpr char kJoinReviewOn[] = "选择框_开启自动审核进群";
inline constexpr char kOneGroupPerAccount[] = "选择框_禁止一号多群";
inline constexpr char kLevelCheck[] = "选择框_等级检测";
inline constexpr char kJoinLevel[] = "编辑框_进群等级";
inline constexpr char kRenameOnJoin[] = "选择框_进群改名片";
inline constexpr char kCardPrefixOn[] = "选择框_名片前缀";
inline constexpr char kCardPrefix[] = "编辑框_进群名片前缀";
inline constexpr char kCardSuffixOn[] = "选择框_名片后缀";
inline constexpr char kCardSuffix[] = "编辑框_进群名片后缀";
inline constexpr char kCardLengthOn[] = "选择框_名片字数";
inline constexpr char kCardLength[] = "编辑框_名片字数";
inline constexpr char kMuteOnJoin[] = "选择框_进群禁言";
inline constexpr char kJoinMuteMinutes[] = "编辑框_进群禁言时间";
inline constexpr char kMemberLimitOn[] = "选择框_开启群人数控制";
inline constexpr char kMemberLimit[] = "编辑框_限制人数";
inline constexpr char kLimitKickEarliestJoined[] = "单选框_人数控制_踢最早进群";
inline constexpr char kLimitKickLatestJoined[] = "单选框_人数控制_踢最晚加群";
inline constexpr char kLimitKickLongestSilent[] = "单选框_人数控制_踢最后发言最早";
inline constexpr char kLimitPreferNeverSpoke[] = "选择框_人数控制_优先踢未发言";
inline constexpr char kLimitKickNoticeOn[] = "选择框_人数控制_踢出发言";
inline constexpr char kLimitKickNotice[] = "编辑框_人数控制_踢人发言";
inline constexpr char kAdDetectionOn[] = "选择框_开启广告检测";
inline constexpr char kPenaltyKick[] = "单选框_踢人";
inline constexpr char kPenaltyMute[] = "单选框_禁言";
inline constexpr char kMuteMinutes[] = "编辑框_禁言时间";
inline constexpr char kPunishVoice[] = "选择框_踢语音";
inline constexpr char kPunishImageSize[] = "选择框_踢图片大小";
inline constexpr char kImageMaxWidth[] = "编辑框_图片宽";
inline constexpr char kImageMaxHeight[] = "编辑框_图片高";
inline constexpr char kPunishImageRun[] = "选择框_踢连续发图";
inline constexpr char kImageRunLength[] = "编辑框_图片张数";
inline constexpr char kWarnBeforePunish[] = "选择框_警告次数踢";
inline constexpr char kWarningsBeforePunish[] = "编辑框_踢人警告次数";
inline constexpr char kWarningText[] = "编辑框_警告语";
inline constexpr char kPenaltyNoticeOn[] = "选择框_踢人发言";
inline constexpr char kPenaltyNotice[] = "编辑框_踢人发言";
inline constexpr char kBannedWordsOn[] = "选择框_踢关键词";
inline constexpr char kBannedWords[] = "编辑框_踢人关键词";
inline constexpr char kBlacklistOnKick[] = "选择框_踢出加黑";
inline constexpr char kBlacklistKickEverywhere[] = "选择框_加黑全踢";
inline constexpr char kKickInviter[] = "选择框_株连九族";
inline constexpr char kAtKickOn[] = "选择框_艾特踢人";
inline constexpr char kAtKickCommand[] = "编辑框_踢人命令";
inline constexpr char kInviteQueryOn[] = "选择框_开启邀请查询";
inline constexpr char kInviteQueryReply[] = "编辑框_邀请查询回复";
inline constexpr char kInviteQueryAccount[] = "编辑框_邀请查询QQ";
inline constexpr char kTasksOn[] = "选择框_开启定时任务";
inline constexpr char kTaskInterval[] = "编辑框_执行间隔时间";
inline constexpr char kTaskContent[] = "编辑框_定时发送内容";
inline constexpr char kTaskSendMessage[] = "单选框_发送信息";
inline constexpr char kTaskAnnounce[] = "单选框_发布公告";
inline constexpr char kTaskMuteAll[] = "单选框_全体禁言";
inline constexpr char kTaskUnmuteAll[] = "单选框_解除禁言";
inline constexpr char kTaskHomework[] = "单选框_发布作业";
inline constexpr char kTaskTime[] = "日期框_执行时间";
inline constexpr char kAddAdministrator[] = "编辑框_欲加入管理员";
inline constexpr char kAddWhitelist[] = "编辑框_欲加入白名单";
inline constexpr char kAddBlacklist[] = "编辑框_欲加入黑名单";
inline constexpr char kStatisticsDate[] = "组合框1";
// Services sharing one PostgreSQL database: one robot's blacklist is every robot's.
inline constexpr char kSharedBlacklist[] = "选择框_共享黑名单";
// Newcomer verification: the switch, the groups it asks in ("+"-separated),
// the owner's questions (one a line: question|answer|answer…) or arithmetic.
inline constexpr char kVerifyOn[] = "选择框_开启入群验证";
inline constexpr char kVerifyGroups[] = "编辑框_入群验证群";
inline constexpr char kVerifyOwnQuestions[] = "选择框_入群验证自定义问题";
inline constexpr char kVerifyQuestions[] = "编辑框_入群验证问题";
inline constexpr char kVerifyMinutes[] = "编辑框_入群验证时限";
inline constexpr char kVerifyWrongLimit[] = "编辑框_入群验证答错次数";
inline constexpr char kVerifyRefuseRejoin[] = "选择框_入群验证拒绝再加群";
inline constexpr char kVerifyPassCommand[] = "编辑框_入群验证放行命令";
// Groups whose messages are kept, each with its days: "101:7+102:30" (empty: none).
inline constexpr char kHistoryGroups[] = "编辑框_消息记录";

// Every constant above, in the table's order.
inline constexpr const char* kAll[] = {
    kKeywordReplyOn,
    kReplyInGroups,
    kReplyInPrivate,
    kReplyKeyword,
    kReplyText,
    kReplyCount,
    kExactMatch,
    kFuzzyMatch,
    kWelcomeOn,
    kWelcomeText,
    kWelcomeGroupOnly,
    kWelcomePrivateOnly,
    kWelcomeBoth,
    kJoinReviewOn,
    kOneGroupPerAccount,
    kLevelCheck,
    kJoinLevel,
    kRenameOnJoin,
    kCardPrefixOn,
    kCardPrefix,
    kCardSuffixOn,
    kCardSuffix,
    kCardLengthOn,
    kCardLength,
    kMuteOnJoin,
    kJoinMuteMinutes,
    kMemberLimitOn,
    kMemberLimit,
    kLimitKickEarliestJoined,
    kLimitKickLatestJoined,
    kLimitKickLongestSilent,
    kLimitPreferNeverSpoke,
    kLimitKickNoticeOn,
    kLimitKickNotice,
    kAdDetectionOn,
    kPenaltyKick,
    kPenaltyMute,
    kMuteMinutes,
    kPunishVoice,
    kPunishImageSize,
    kImageMaxWidth,
    kImageMaxHeight,
    kPunishImageRun,
    kImageRunLength,
    kWarnBeforePunish,
    kWarningsBeforePunish,
    kWarningText,
    kPenaltyNoticeOn,
    kPenaltyNotice,
    kBannedWordsOn,
    kBannedWords,
    kBlacklistOnKick,
    kBlacklistKickEverywhere,
    kKickInviter,
    kAtKickOn,
    kAtKickCommand,
    kInviteQueryOn,
    kInviteQueryReply,
    kInviteQueryAccount,
    kTasksOn,
    kTaskInterval,
    kTaskContent,
    kTaskSendMessage,
    kTaskAnnounce,
    kTaskMuteAll,
    kTaskUnmuteAll,
    kTaskHomework,
    kTaskTime,
    kAddAdministrator,
    kAddWhitelist,
    kAddBlacklist,
    kStatisticsDate,
    kSharedBlacklist,
    kVerifyOn,
    kVerifyGroups,
    kVerifyOwnQuestions,
    kVerifyQuestions,
    kVerifyMinutes,
    kVerifyWrongLimit,
    kVerifyRefuseRejoin,
    kVerifyPassCommand,
    kHistoryGroups,
};

}  // namespace bw::opt
