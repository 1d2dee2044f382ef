// ListFile: the text form of a list view, one row per line (CR LF):
// "{" + tick (0/1) + "}" + cell1 + "----" + cell2 + ... + cellN.
// Line breaks inside any cell are written as "[|换行符|]" and read back as line
// breaks in every cell but the first (whose token stays, as it always did).
#pragma once

#include <string>
#include <vector>

#include "ui/list_model.h"
#include "util/status.h"

namespace bw {

std::string FormatListFile(const std::vector<ListRow>& rows, size_t cells);
std::vector<ListRow> ParseListFile(const std::string& text);

Status SaveListFile(const ListModel& list, size_t cells, const std::string& file);
// A missing file leaves the list empty.
Status LoadListFile(ListModel& list, const std::string& file);

}  // namespace bw
