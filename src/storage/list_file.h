// ListFile: the text form of a list view, one row per line (CR LF):
// "{" + tick (0/1) + "}" + cell1 + "----" + cell2 + ... + cellN.
//
// Line breaks inside a cell (CR LF, or a lone CR or LF) are written as
// "[|换行符|]" in every cell, so a row always stays on one line. On reading,
// the token turns back into CR LF in every cell but the first, whose token
// stays in the text as it always did. Rows without line breaks are written
// exactly as the format always was.
//
// Reading: rows end in CR LF where the file has any (a lone LF or CR then stays
// inside its cell), otherwise in LF, otherwise in CR; a final row end adds no
// row; an empty line is a row with empty cells. The tick is the integer between the first "{"
// and the next "}" (none: unticked), and that brace group is removed once,
// so a cell that itself holds such a group (a reply "{1}") keeps it. A cell
// holding "----" would split into two cells, and one ending in "-" would lose
// it to the next cell: the writer turns such dashes into "—" (ListCellText)
// and logs it, so a row always reads back with its cells in place.
//
// Files may be UTF-8, GBK or UTF-16 with a byte-order mark, decided line by
// line (ReadTextFile); they are written with EncodeForFile through a temporary
// file and a rename. A file that was not read cleanly is kept beside it before
// it is rewritten (the name carries the time of `clock`).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "settings/list_model.h"
#include "util/clock.h"
#include "util/status.h"
#include "util/text_file.h"

namespace bw {

inline constexpr char kListLineBreak[] = "[|换行符|]";

// What the cell separator "----" and a '-' ending a cell become in list files.
inline constexpr char kListDash[] = "—";

// Text from the network (group names, nicknames, cards) as the core keeps it:
// every line break (CR LF, CR, LF, VT, FF, NEL, U+2028, U+2029) becomes one
// blank and every "----" becomes "—", so it stays one line and one cell.
std::string CleanNetworkText(std::string_view text);
// `cell` as a list file can hold it: every "----" becomes "—", and so does each
// '-' ending a cell that is not the row's last (it would run into the
// separator). Line breaks stay (the writer marks them).
std::string ListCellText(std::string_view cell, bool lastCell);

std::string FormatListFile(const std::vector<ListRow>& rows, size_t cells);
std::vector<ListRow> ParseListFile(const std::string& text);

Status SaveListFile(const ListModel& list, size_t cells, const std::string& file,
                    const Clock& clock = SystemClock());
// A missing file leaves the list empty. A file that exists but cannot be read
// leaves the list as it was (so a later save does not wipe it) and is an error.
// Rows get as many cells as the list has columns.
Status LoadListFile(ListModel& list, const std::string& file);

}  // namespace bw
