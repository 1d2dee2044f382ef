// The statistics tab of 更多功能 ("进群统计") for the panel: the day chooser, the
// statistics list in its two views (the day's events, the group summary) with
// their colours and sorting, the summary text, the data directory, and the
// joins and leaves per day over recent days for the chart.
//
// Thread-safety: JoinLeaveHistory reads files only; the routes run on the
// server's pool threads and build one view at a time.
#pragma once

#include <httplib.h>

#include <string>
#include <vector>

#include "logs/statistics.h"
#include "ui/panel_routes.h"
#include "util/clock.h"

namespace bw::ui {

struct DayTally {
  std::string day;  // "yyyy-M-d"
  DayCounts counts;
};

// The counts of the `days` local dates ending with the date of `now` (oldest
// first), read from the day files in `directory`; a missing file counts 0.
std::vector<DayTally> JoinLeaveHistory(const std::string& directory, SystemTime now, int days);

// /api/more/statistics (GET: the days refreshed and today's events; POST: a
// day's events or its group summary), /api/more/statistics/sort,
// /api/more/chart.
void AddMoreStatisticsRoutes(httplib::Server& server, PanelContext& ctx);

}  // namespace bw::ui
