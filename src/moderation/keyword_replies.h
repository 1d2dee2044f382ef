// KeywordReplies: the keyword auto-reply table and its list view
// (超级列表框_回复关键词, persisted as "回复关键词.txt"). Group messages that
// mention the robot and private messages are answered with the first entry that
// matches, within its limit; "{智能变量}" in a reply takes the rest of the
// message, percent-encoded as UTF-8.
//
// Thread-safety: all members may be called from any thread. Edits of the list
// view and the write-back of a reply count are serialised, so row i stays
// entry i; list listeners must not call back into the edit members.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace bw {

class HostApi;
class Settings;
struct ListViews;
class Identity;

struct KeywordReply {
  std::string keyword;
  std::string reply;
  std::string mode;   // "模糊" fuzzy; anything else exact
  int32_t limit = 0;  // 0 = unlimited
  int32_t replied = 0;
};

enum class ReplySource { kGroup = 1, kPrivate = 2 };

class KeywordReplies {
 public:
  KeywordReplies(HostApi& host, Settings& settings, ListViews& lists, const Identity& identity);

  // The "添加" button; returns "" on success or the message to show
  // ("内容不能空", "精准模式不支持智能变量", "关键词已经存在请换一个关键词吧!").
  std::string AddKeywordReply();
  void RebuildKeywordReplies();
  // List actions on row `row` (0-based); a row out of range changes nothing.
  void deleteReply(size_t row);
  void clearRepliedCount(size_t row);

  // Answers with the first entry that matches within its limit; counts the
  // reply in the entry and in the row's 已回复次数 cell. An empty answer sends
  // and counts nothing.
  void AnswerKeyword(const std::string& message, int64_t group, int64_t sender, ReplySource source);

  std::vector<KeywordReply> entries() const;

 private:
  HostApi& host_;
  Settings& settings_;
  ListViews& lists_;
  const Identity& identity_;
  std::mutex editMu_;      // list view edits and count write-backs
  mutable std::mutex mu_;  // entries_
  std::vector<KeywordReply> entries_;
};

}  // namespace bw
