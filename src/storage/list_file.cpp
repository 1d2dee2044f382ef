#include "storage/list_file.h"

#include "util/charset.h"
#include "util/files.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {
namespace {

constexpr std::string_view kSeparator = "----";

std::string MarkLineBreaks(std::string_view cell) {
  std::string out = ReplaceAll(cell, "\r\n", kListLineBreak);
  out = ReplaceAll(out, "\n", kListLineBreak);
  return ReplaceAll(out, "\r", kListLineBreak);
}

}  // namespace

std::string FormatListFile(const std::vector<ListRow>& rows, size_t cells) {
  std::string out;
  for (const auto& row : rows) {
    out += row.checked ? "{1}" : "{0}";
    for (size_t i = 0; i < cells; ++i) {
      if (i) out += kSeparator;
      if (i < row.cells.size()) out += MarkLineBreaks(row.cells[i]);
    }
    out += "\r\n";
  }
  return out;
}

std::vector<ListRow> ParseListFile(const std::string& text) {
  std::vector<ListRow> rows;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();

    ListRow row;
    const size_t open = line.find('{');
    const size_t close = open == std::string::npos ? open : line.find('}', open + 1);
    if (close != std::string::npos) {
      row.checked = TextToInt(std::string_view(line).substr(open + 1, close - open - 1)) != 0;
      line.erase(open, close - open + 1);
    }
    row.cells = Split(line, kSeparator);
    for (size_t i = 1; i < row.cells.size(); ++i) {
      row.cells[i] = ReplaceAll(row.cells[i], kListLineBreak, "\r\n");
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

Status SaveListFile(const ListModel& list, size_t cells, const std::string& file) {
  Status st = WriteFileAtomic(file, EncodeForFile(FormatListFile(list.rows(), cells)));
  if (!st.ok()) LogWarning("list file: " + st.message());
  return st;
}

Status LoadListFile(ListModel& list, const std::string& file) {
  if (!FileExists(file)) {
    list.clear();
    return Status::Ok();
  }
  std::string bytes;
  Status st = ReadFileBytes(file, bytes);
  if (!st.ok()) {
    LogWarning("list file: " + st.message());
    return st;
  }
  std::vector<ListRow> rows = ParseListFile(DecodeExternalText(bytes));
  for (auto& r : rows) r.cells.resize(list.columns().size());
  list.replaceAll(std::move(rows));
  return Status::Ok();
}

}  // namespace bw
