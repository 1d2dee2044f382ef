// ListModel: one list view of the settings window as data: rows of text cells
// with a tick box each. ListViews holds every list the robot keeps.
//
// Thread-safety: all members may be called from any thread. Compound changes
// that must not interleave with other writers go through update().
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace bw {

struct ListRow {
  bool checked = false;
  std::vector<std::string> cells;
  // Drawing hint: the run log marks rows that contain "失败" red; the
  // statistics page colours rows. 0 = default colour, otherwise 0xBBGGRR.
  uint32_t textColour = 0;
  uint32_t backColour = 0;

  bool operator==(const ListRow&) const = default;
};

class ListModel {
 public:
  ListModel(std::string name, std::vector<std::string> columns);

  const std::string& name() const { return name_; }
  const std::vector<std::string>& columns() const { return columns_; }

  size_t rowCount() const;
  std::vector<ListRow> rows() const;
  std::optional<ListRow> row(size_t index) const;
  // "" when out of range.
  std::string cell(size_t row, size_t column) const;
  bool checked(size_t row) const;

  // Appends a row (cells padded to the column count) and returns its index.
  size_t append(ListRow row);
  bool setCell(size_t row, size_t column, std::string value);
  bool setChecked(size_t row, bool checked);
  bool remove(size_t row);
  void clear();
  void replaceAll(std::vector<ListRow> rows);

  // Runs `fn` on the rows under the lock without copying them (a save of a
  // long list reads it in place). `fn` must not call this model, nor anything
  // that might: log lines are best written after it returned.
  void read(const std::function<void(const std::vector<ListRow>&)>& fn) const;

  // Runs `fn` on the rows under the lock; listeners are told afterwards.
  // Costs a pass over every row (rows `fn` added are padded): for a change of
  // one row in a long list, use updateRow.
  void update(const std::function<void(std::vector<ListRow>&)>& fn);
  // Runs `fn` on row `row` alone under the lock (its cells padded to the
  // column count first), so that marking each of n rows costs n, not n².
  // False, and `fn` not run, when there is no such row.
  bool updateRow(size_t row, const std::function<void(ListRow&)>& fn);

  // How many rows the operations above have gone over (copied, walked or
  // moved) since the model was made: the measure of their cost that does not
  // depend on the machine, so a caller can see that marking n rows cost n.
  size_t rowsVisited() const;

  // Told after every change.
  using Listener = std::function<void()>;
  int subscribe(Listener listener);
  void unsubscribe(int id);

 private:
  void notify();

  const std::string name_;
  const std::vector<std::string> columns_;
  mutable std::mutex mu_;
  std::vector<ListRow> rows_;
  mutable size_t visited_ = 0;  // guarded by mu_
  std::mutex listenersMu_;
  std::map<int, Listener> listeners_;
  int nextListener_ = 1;
};

// Column positions of the lists several modules share.
namespace groupcol {
enum : size_t { kNumber, kGroup, kName, kRole, kStatus };
}
namespace taskcol {
enum : size_t { kTime, kAction, kContent, kState };
}
namespace keywordcol {
enum : size_t { kNumber, kKeyword, kReply, kMode, kLimit, kReplied };
}
namespace welcomecol {
enum : size_t { kNumber, kGroup, kName, kText };
}
namespace limitcol {
enum : size_t { kNumber, kGroup, kName, kCurrent, kLimit, kKicked };
}
namespace accountcol {
enum : size_t { kNumber, kQQ, kNick, kTime };
}

// Every list view of the robot, with its columns.
struct ListViews {
  ListModel groups{"超级列表框_群列表", {"序号", "群号", "群名称", "权限", "初始化状态"}};
  ListModel tasks{"超级列表框_定时任务", {"时间", "执行操作", "发送内容", "状态"}};
  ListModel keywords{"超级列表框_回复关键词",
                     {"序号", "关键词", "回复内容", "匹配模式", "回复次数", "已回复次数"}};
  ListModel welcome{"超级列表框_欢迎语", {"序号", "群号", "群名称", "欢迎语"}};
  ListModel limits{"超级列表框_人数控制",
                   {"序号", "群号", "群名称", "现有人数", "限制人数", "踢掉人数"}};
  ListModel administrators{"超级列表框_管理员", {"序号", "QQ号", "昵称", "加入时间"}};
  ListModel whitelist{"超级列表框_白名单", {"序号", "QQ号", "昵称", "加入时间"}};
  ListModel blacklist{"超级列表框_黑名单", {"序号", "QQ号", "昵称", "加入时间"}};
  ListModel inviteStats{"超级列表框_邀请统计",
                        {"序号", "QQ号", "昵称", "现存个数", "邀请个数", "退出个数"}};
  // Columns of the day view; the group summary view fills six cells (群号, 群名称,
  // 进群, 退群, 踢出, 总进群), see DailyStatistics::headings().
  ListModel statistics{"超级列表框_群管数据", {"时间", "群号", "状态", "QQ", "操作QQ"}};
  ListModel runLog{"超级列表框_日志", {"ID", "时间", "类型", "信息"}};

  // By view name, nullptr when unknown.
  ListModel* find(const std::string& name);
};

}  // namespace bw
