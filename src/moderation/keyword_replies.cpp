#include "moderation/keyword_replies.h"

#include <algorithm>

#include "host/cq_code.h"
#include "host/host_api.h"
#include "host/identity.h"
#include "settings/list_model.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {

namespace {

constexpr std::string_view kSmartVariable = "{智能变量}";
constexpr std::string_view kFuzzy = "模糊";

int32_t ToInt32(std::string_view text) {
  return static_cast<int32_t>(std::clamp<int64_t>(TextToInt(text), INT32_MIN, INT32_MAX));
}

bool Matches(const KeywordReply& e, const std::string& text) {
  // An empty keyword only comes from a damaged list row; it would match everything.
  if (e.keyword.empty()) return false;
  if (e.limit != 0 && e.replied >= e.limit) return false;
  return e.mode == kFuzzy ? Contains(text, e.keyword) : text == e.keyword;
}

}  // namespace

KeywordReplies::KeywordReplies(HostApi& host, Settings& settings, ListViews& lists,
                               const Identity& identity)
    : host_(host), settings_(settings), lists_(lists), identity_(identity) {
  RebuildKeywordReplies();
}

std::string KeywordReplies::AddKeywordReply() {
  Settings& s = settings_;
  const std::string keyword = s.text(opt::kReplyKeyword);
  const std::string reply = s.text(opt::kReplyText);
  const std::string limitText = s.text(opt::kReplyCount);
  if (keyword.empty() || reply.empty()) return "内容不能空";
  if (s.checked(opt::kExactMatch) && Contains(reply, kSmartVariable))
    return "精准模式不支持智能变量";
  const std::string mode = s.checked(opt::kFuzzyMatch) ? "模糊" : "精准";

  std::lock_guard edit(editMu_);
  {
    std::lock_guard lock(mu_);
    for (const KeywordReply& e : entries_)
      if (e.keyword == keyword) return "关键词已经存在请换一个关键词吧!";
    entries_.push_back(KeywordReply{keyword, reply, mode, ToInt32(limitText), 0});
  }
  ListModel& list = lists_.keywords;
  ListRow row;
  row.cells = {std::to_string(list.rowCount() + 1), keyword, reply, mode, limitText, "0"};
  list.append(std::move(row));
  s.setText(opt::kReplyKeyword, "");
  s.setText(opt::kReplyText, "");
  return "";
}

void KeywordReplies::RebuildKeywordReplies() {
  std::vector<KeywordReply> fresh;
  for (const ListRow& row : lists_.keywords.rows()) {
    auto cell = [&](size_t i) { return i < row.cells.size() ? row.cells[i] : std::string(); };
    fresh.push_back(KeywordReply{cell(keywordcol::kKeyword), cell(keywordcol::kReply),
                                 cell(keywordcol::kMode), ToInt32(cell(keywordcol::kLimit)),
                                 ToInt32(cell(keywordcol::kReplied))});
  }
  std::lock_guard lock(mu_);
  entries_ = std::move(fresh);
}

void KeywordReplies::deleteReply(size_t row) {
  std::lock_guard edit(editMu_);
  bool removed = false;
  lists_.keywords.update([&](std::vector<ListRow>& rows) {
    if (row >= rows.size()) return;
    rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(row));
    for (size_t i = 0; i < rows.size(); ++i) {
      if (rows[i].cells.size() <= keywordcol::kNumber)
        rows[i].cells.resize(keywordcol::kNumber + 1);
      rows[i].cells[keywordcol::kNumber] = std::to_string(i + 1);
    }
    removed = true;
  });
  if (!removed) LogWarning("keyword reply row " + std::to_string(row) + " does not exist");
  RebuildKeywordReplies();
}

void KeywordReplies::clearRepliedCount(size_t row) {
  std::lock_guard edit(editMu_);
  if (!lists_.keywords.setCell(row, keywordcol::kReplied, "0"))
    LogWarning("keyword reply row " + std::to_string(row) + " does not exist");
  RebuildKeywordReplies();
}

void KeywordReplies::AnswerKeyword(const std::string& message, int64_t group, int64_t sender,
                                   ReplySource source) {
  std::string text = message;
  if (source == ReplySource::kGroup) {
    if (const int64_t robot = TextToInt(identity_.loginAccount()); robot != 0)
      text = ReplaceAll(ReplaceAll(text, cq::At(robot), ""), cq::At(robot, true), "");
  }

  std::string answer;
  std::string keyword;
  size_t index = 0;
  int32_t replied = 0;
  std::unique_lock edit(editMu_);
  {
    std::lock_guard lock(mu_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const KeywordReply& e) { return Matches(e, text); });
    if (it == entries_.end()) return;
    if (!Contains(it->reply, kSmartVariable)) {
      answer = it->reply;
    } else if (std::string rest = ReplaceAll(text, it->keyword, ""); !rest.empty()) {
      answer = ReplaceAll(it->reply, kSmartVariable, UrlEncode(rest, true, true));
    }
    if (answer.empty()) return;
    replied = ++it->replied;
    keyword = it->keyword;
    index = static_cast<size_t>(it - entries_.begin());
  }
  // Row i is entry i unless someone changed the list without a rebuild; then
  // the count stays in memory rather than landing on another keyword's row.
  bool written = false;
  lists_.keywords.update([&](std::vector<ListRow>& rows) {
    if (index >= rows.size() || rows[index].cells.size() <= keywordcol::kReplied ||
        rows[index].cells[keywordcol::kKeyword] != keyword)
      return;
    rows[index].cells[keywordcol::kReplied] = std::to_string(replied);
    written = true;
  });
  edit.unlock();
  if (!written) LogWarning("keyword list out of step with the reply table at \"" + keyword + "\"");

  if (source == ReplySource::kGroup)
    host_.CQ_sendGroupMsg(group, cq::At(sender) + answer);
  else
    host_.CQ_sendPrivateMsg(sender, answer);
}

std::vector<KeywordReply> KeywordReplies::entries() const {
  std::lock_guard lock(mu_);
  return entries_;
}

}  // namespace bw
