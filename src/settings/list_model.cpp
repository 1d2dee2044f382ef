#include "settings/list_model.h"

#include <utility>

namespace bw {

ListModel::ListModel(std::string name, std::vector<std::string> columns)
    : name_(std::move(name)), columns_(std::move(columns)) {}

size_t ListModel::rowCount() const {
  std::lock_guard lock(mu_);
  return rows_.size();
}

std::vector<ListRow> ListModel::rows() const {
  std::lock_guard lock(mu_);
  visited_ += rows_.size();
  return rows_;
}

void ListModel::read(const std::function<void(const std::vector<ListRow>&)>& fn) const {
  std::lock_guard lock(mu_);
  visited_ += rows_.size();
  fn(rows_);
}

std::optional<ListRow> ListModel::row(size_t index) const {
  std::lock_guard lock(mu_);
  if (index >= rows_.size()) return std::nullopt;
  return rows_[index];
}

std::string ListModel::cell(size_t row, size_t column) const {
  std::lock_guard lock(mu_);
  if (row >= rows_.size() || column >= rows_[row].cells.size()) return {};
  return rows_[row].cells[column];
}

bool ListModel::checked(size_t row) const {
  std::lock_guard lock(mu_);
  return row < rows_.size() && rows_[row].checked;
}

size_t ListModel::append(ListRow row) {
  if (row.cells.size() < columns_.size()) row.cells.resize(columns_.size());
  size_t index;
  {
    std::lock_guard lock(mu_);
    index = rows_.size();
    rows_.push_back(std::move(row));
  }
  notify();
  return index;
}

bool ListModel::setCell(size_t row, size_t column, std::string value) {
  {
    std::lock_guard lock(mu_);
    // Cells beyond the row's own exist only up to the view's column count.
    if (row >= rows_.size()) return false;
    auto& cells = rows_[row].cells;
    if (column >= cells.size()) {
      if (column >= columns_.size()) return false;
      cells.resize(columns_.size());
    }
    if (cells[column] == value) return true;
    cells[column] = std::move(value);
  }
  notify();
  return true;
}

bool ListModel::setChecked(size_t row, bool checked) {
  {
    std::lock_guard lock(mu_);
    if (row >= rows_.size()) return false;
    if (rows_[row].checked == checked) return true;
    rows_[row].checked = checked;
  }
  notify();
  return true;
}

bool ListModel::remove(size_t row) {
  {
    std::lock_guard lock(mu_);
    if (row >= rows_.size()) return false;
    visited_ += rows_.size() - row;
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(row));
  }
  notify();
  return true;
}

void ListModel::clear() {
  {
    std::lock_guard lock(mu_);
    if (rows_.empty()) return;
    rows_.clear();
  }
  notify();
}

void ListModel::replaceAll(std::vector<ListRow> rows) {
  for (ListRow& r : rows) {
    if (r.cells.size() < columns_.size()) r.cells.resize(columns_.size());
  }
  {
    std::lock_guard lock(mu_);
    visited_ += rows.size();
    rows_ = std::move(rows);
  }
  notify();
}

void ListModel::update(const std::function<void(std::vector<ListRow>&)>& fn) {
  {
    std::lock_guard lock(mu_);
    fn(rows_);
    visited_ += rows_.size();
    for (ListRow& r : rows_) {
      if (r.cells.size() < columns_.size()) r.cells.resize(columns_.size());
    }
  }
  notify();
}

bool ListModel::updateRow(size_t row, const std::function<void(ListRow&)>& fn) {
  {
    std::lock_guard lock(mu_);
    if (row >= rows_.size()) return false;
    ++visited_;
    ListRow& r = rows_[row];
    if (r.cells.size() < columns_.size()) r.cells.resize(columns_.size());
    fn(r);
    if (r.cells.size() < columns_.size()) r.cells.resize(columns_.size());
  }
  notify();
  return true;
}

size_t ListModel::rowsVisited() const {
  std::lock_guard lock(mu_);
  return visited_;
}

int ListModel::subscribe(Listener listener) {
  std::lock_guard lock(listenersMu_);
  int id = nextListener_++;
  listeners_.emplace(id, std::move(listener));
  return id;
}

void ListModel::unsubscribe(int id) {
  std::lock_guard lock(listenersMu_);
  listeners_.erase(id);
}

void ListModel::notify() {
  // Called without the row lock so that listeners may read the list.
  std::vector<Listener> listeners;
  {
    std::lock_guard lock(listenersMu_);
    listeners.reserve(listeners_.size());
    for (const auto& [id, listener] : listeners_) listeners.push_back(listener);
  }
  for (const Listener& listener : listeners) listener();
}

ListModel* ListViews::find(const std::string& name) {
  for (ListModel* model : {&groups, &tasks, &keywords, &welcome, &limits, &administrators,
                           &whitelist, &blacklist, &inviteStats, &statistics, &runLog}) {
    if (model->name() == name) return model;
  }
  return nullptr;
}

}  // namespace bw
