#include "storage/list_file.h"

#include <algorithm>

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

namespace {

// The file's text of `rows`; `changed` counts the cells ListCellText altered.
std::string FormatRows(const std::vector<ListRow>& rows, size_t cells, size_t& changed) {
  size_t size = 0;
  for (const auto& row : rows) {
    size += 3 + 2 + (cells > 0 ? (cells - 1) * kSeparator.size() : 0);
    for (size_t i = 0; i < cells && i < row.cells.size(); ++i) size += row.cells[i].size();
  }
  std::string out;
  out.reserve(size);
  for (const auto& row : rows) {
    out += row.checked ? "{1}" : "{0}";
    for (size_t i = 0; i < cells; ++i) {
      if (i) out += kSeparator;
      if (i >= row.cells.size()) continue;
      const std::string& raw = row.cells[i];
      // Most cells hold neither a dash nor a line break: nothing to change.
      if (raw.find_first_of("-\r\n") == std::string::npos) {
        out += raw;
        continue;
      }
      const std::string cell = ListCellText(raw, i + 1 == cells);
      if (cell != raw) ++changed;
      out += MarkLineBreaks(cell);
    }
    out += "\r\n";
  }
  return out;
}

void ReportChangedCells(size_t changed) {
  if (changed > 0) {
    LogWarning("list file: " + std::to_string(changed) +
               " cell(s) held the separator \"----\" or ended in \"-\"; written with \"—\" "
               "instead, so the row reads back with its cells in place");
  }
}

}  // namespace

std::string FormatListFile(const std::vector<ListRow>& rows, size_t cells) {
  size_t changed = 0;
  std::string out = FormatRows(rows, cells, changed);
  ReportChangedCells(changed);
  return out;
}

namespace {

// The rows of `text`, each with room for at least `cells` cells.
std::vector<ListRow> ParseRows(std::string_view text, size_t cells) {
  std::vector<ListRow> rows;
  const std::string_view rowEnd = RowEnd(text);
  rows.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), rowEnd.back())) + 1);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(rowEnd, pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + rowEnd.size();

    ListRow row;
    std::string joined;  // the line without its brace group, when that was inside it
    const size_t open = line.find('{');
    const size_t close = open == std::string_view::npos ? open : line.find('}', open + 1);
    if (close != std::string_view::npos) {
      row.checked = TextToInt(line.substr(open + 1, close - open - 1)) != 0;
      if (open == 0) {
        line.remove_prefix(close + 1);
      } else {
        joined.reserve(line.size());
        joined.append(line.substr(0, open)).append(line.substr(close + 1));
        line = joined;
      }
    }
    size_t pieces = 1;
    for (size_t at = line.find(kSeparator); at != std::string_view::npos;
         at = line.find(kSeparator, at + kSeparator.size()))
      ++pieces;
    row.cells.reserve(std::max(pieces, cells));
    size_t from = 0;
    for (size_t i = 0; i < pieces; ++i) {
      size_t at = i + 1 < pieces ? line.find(kSeparator, from) : line.size();
      const std::string_view cell = line.substr(from, at - from);
      // The first cell keeps the token; the others turn it back into a line break.
      if (i > 0 && cell.find(kListLineBreak) != std::string_view::npos) {
        row.cells.push_back(ReplaceAll(cell, kListLineBreak, "\r\n"));
      } else {
        row.cells.emplace_back(cell);
      }
      from = at + kSeparator.size();
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace

std::vector<ListRow> ParseListFile(const std::string& text) { return ParseRows(text, 0); }

Status SaveListFile(const ListModel& list, size_t cells, const std::string& file,
                    const Clock& clock) {
  Status st = KeepUnreadableOriginal(file, clock);
  if (!st.ok()) {
    LogWarning("list file: not written, " + st.message());
    return st;
  }
  // Formatted in place: a copy of a list of 100,000 rows would cost more than
  // the formatting itself.
  size_t changed = 0;
  std::string text;
  list.read([&](const std::vector<ListRow>& rows) { text = FormatRows(rows, cells, changed); });
  ReportChangedCells(changed);
  st = WriteFileAtomic(file, EncodeForFile(text));
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
  std::vector<ListRow> rows = ParseRows(text.decoded.text, list.columns().size());
  for (auto& r : rows) r.cells.resize(list.columns().size());
  list.replaceAll(std::move(rows));
  return Status::Ok();
}

}  // namespace bw
