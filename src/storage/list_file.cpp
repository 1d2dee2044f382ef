#include "storage/list_file.h"

#include "util/charset.h"
#include "util/files.h"
#include "util/log.h"
#include "util/text.h"
#include "util/text_file.h"

namespace bw {
namespace {

constexpr std::string_view kSeparator = "----";

std::string MarkLineBreaks(std::string_view cell) {
  std::string out = ReplaceAll(cell, "\r\n", kListLineBreak);
  out = ReplaceAll(out, "\n", kListLineBreak);
  return ReplaceAll(out, "\r", kListLineBreak);
}

std::string NoSeparator(std::string text) {
  for (size_t at = text.find(kSeparator); at != std::string::npos; at = text.find(kSeparator, at))
    text.replace(at, kSeparator.size(), kListDash);
  return text;
}

// Rows end in CR LF where the file has any (a lone LF or CR then stays inside
// its cell), else in LF, else in CR: files saved by other editors keep their rows.
std::string_view RowEnd(std::string_view text) {
  if (text.find("\r\n") != std::string_view::npos) return "\r\n";
  if (text.find('\n') != std::string_view::npos) return "\n";
  return "\r";
}

}  // namespace

std::string CleanNetworkText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += ' ';
    } else if (c == '\n' || c == '\v' || c == '\f') {
      out += ' ';
    } else if (c == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) == 0x85) {
      out += ' ';  // U+0085 NEL
      ++i;
    } else if (c == 0xE2 && i + 2 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      out += ' ';  // U+2028 LINE SEPARATOR, U+2029 PARAGRAPH SEPARATOR
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return NoSeparator(std::move(out));
}

std::string ListCellText(std::string_view cell, bool lastCell) {
  std::string out = NoSeparator(std::string(cell));
  if (lastCell) return out;
  size_t dashes = 0;
  while (dashes < out.size() && out[out.size() - 1 - dashes] == '-') ++dashes;
  if (dashes == 0) return out;
  out.resize(out.size() - dashes);
  for (size_t i = 0; i < dashes; ++i) out += kListDash;
  return out;
}

std::string FormatListFile(const std::vector<ListRow>& rows, size_t cells) {
  std::string out;
  size_t changed = 0;
  for (const auto& row : rows) {
    out += row.checked ? "{1}" : "{0}";
    for (size_t i = 0; i < cells; ++i) {
      if (i) out += kSeparator;
      if (i >= row.cells.size()) continue;
      const std::string cell = ListCellText(row.cells[i], i + 1 == cells);
      if (cell != row.cells[i]) ++changed;
      out += MarkLineBreaks(cell);
    }
    out += "\r\n";
  }
  if (changed > 0) {
    LogWarning("list file: " + std::to_string(changed) +
               " cell(s) held the separator \"----\" or ended in \"-\"; written with \"—\" "
               "instead, so the row reads back with its cells in place");
  }
  return out;
}

std::vector<ListRow> ParseListFile(const std::string& text) {
  std::vector<ListRow> rows;
  const std::string_view rowEnd = RowEnd(text);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(rowEnd, pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + rowEnd.size();

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

Status SaveListFile(const ListModel& list, size_t cells, const std::string& file,
                    const Clock& clock) {
  Status st = KeepUnreadableOriginal(file, clock);
  if (!st.ok()) {
    LogWarning("list file: not written, " + st.message());
    return st;
  }
  st = WriteFileAtomic(file, EncodeForFile(FormatListFile(list.rows(), cells)));
  if (!st.ok()) LogWarning("list file: " + st.message());
  return st;
}

Status LoadListFile(ListModel& list, const std::string& file) {
  TextFile text;
  Status st = ReadTextFile(file, text);
  if (!st.ok()) {
    LogWarning("list file: " + st.message());
    return st;
  }
  if (!text.exists) {
    list.clear();
    return Status::Ok();
  }
  std::vector<ListRow> rows = ParseListFile(text.decoded.text);
  for (auto& r : rows) r.cells.resize(list.columns().size());
  list.replaceAll(std::move(rows));
  return Status::Ok();
}

}  // namespace bw
