#include "ui/panel_more_statistics.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>

#include "logs/group_log.h"
#include "settings/list_model.h"
#include "settings/option_names.h"
#include "util/charset.h"
#include "util/files.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time_text.h"

namespace bw::ui {
namespace {

constexpr int kMaxChartDays = 366;

// 0xBBGGRR as "#rrggbb"; "" for the default colour.
std::string CssColour(uint32_t bgr) {
  if (bgr == 0) return "";
  char out[8];
  std::snprintf(out, sizeof out, "#%02x%02x%02x", bgr & 0xFF, (bgr >> 8) & 0xFF,
                (bgr >> 16) & 0xFF);
  return out;
}

DayCounts CountDayFile(const std::string& path) {
  DayCounts counts;
  if (!FileExists(path)) return counts;
  std::string bytes;
  if (Status s = ReadFileBytes(path, bytes); !s) {
    LogWarning("statistics chart: cannot read " + path + ": " + s.message());
    return counts;
  }
  for (std::string& line : Split(DecodeExternalText(bytes), "\n")) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> f = Split(line, "\t");
    if (f.size() < 5) continue;
    if (f[2] == "进群") {
      ++counts.joins;
    } else if (f[2] == "退群") {
      ++(f[4] == "0" ? counts.leaves : counts.removals);
    }
  }
  return counts;
}

// The view the statistics list shows now, with what the tab draws around it.
Json View(DailyStatistics& stats, PanelContext& ctx) {
  Json rows = Json::array();
  for (const ListRow& r : ctx.robot.lifecycle().lists().statistics.rows())
    rows.push_back(
        {{"cells", r.cells}, {"text", CssColour(r.textColour)}, {"back", CssColour(r.backColour)}});
  std::string summary = stats.summaryText();
  if (summary.empty()) summary = DailyStatistics::SummaryText({});
  return {{"days", stats.days()},
          {"day", ctx.robot.lifecycle().settings().text(opt::kStatisticsDate)},
          {"headings", stats.headings()},
          {"rows", rows},
          {"summary", summary},
          {"directory", ctx.robot.lifecycle().groupLog().directory()}};
}

}  // namespace

std::vector<DayTally> JoinLeaveHistory(const std::string& directory, SystemTime now, int days) {
  days = std::clamp(days, 1, kMaxChartDays);
  const std::vector<std::string> today = Split(FormatDateTime(now, "yyyy-M-d", "", true), "-");
  const int y = static_cast<int>(TextToInt(today[0]));
  const int m = static_cast<int>(TextToInt(today[1]));
  const int d = static_cast<int>(TextToInt(today[2]));
  std::vector<DayTally> out;
  for (int back = days - 1; back >= 0; --back) {
    // Noon of each date: a change of clock around midnight never skips a date.
    const std::string day = FormatDateTime(LocalTime(y, m, d - back, 12), "yyyy-M-d", "", true);
    out.push_back({day, CountDayFile(JoinPath(directory, day + ".txt"))});
  }
  return out;
}

void AddMoreStatisticsRoutes(httplib::Server& server, PanelContext& ctx) {
  auto stats = std::make_shared<DailyStatistics>(
      ctx.robot.lifecycle().clock(), ctx.robot.lifecycle().settings(),
      ctx.robot.lifecycle().lists(), ctx.robot.lifecycle().groupLog());
  auto viewMu = std::make_shared<std::mutex>();  // the combo and the view it fills

  // Opening the tab: the day choices afresh, "今天" chosen, its events shown.
  server.Get("/api/more/statistics",
             [&ctx, stats, viewMu](const httplib::Request&, httplib::Response& res) {
               std::lock_guard lock(*viewMu);
               stats->RefreshStatisticsDays();
               stats->ShowDayEvents();
               SendJson(res, View(*stats, ctx));
             });
  server.Post("/api/more/statistics", [&ctx, stats, viewMu](const httplib::Request& req,
                                                            httplib::Response& res) {
    const std::optional<Json> body = JsonBody(
        req, res, "请求应为 {\"day\": \"今天\" 或数据的日期, \"view\": \"day\" 或 \"summary\"}");
    if (!body) return;
    const std::string day = body->value("day", std::string(kStatisticsToday));
    const std::string view = body->value("view", "day");
    std::lock_guard lock(*viewMu);
    if (stats->days().empty()) stats->RefreshStatisticsDays();
    const std::vector<std::string> days = stats->days();
    if (std::find(days.begin(), days.end(), day) == days.end()) {
      LogWarning("settings panel: no statistics for the day \"" + day + "\"");
      SendError(res, 400, "数据的日期: 没有 " + day + " 的数据");
      return;
    }
    if (view != "day" && view != "summary") {
      SendError(res, 400, "view 应为 \"day\" (当天明细) 或 \"summary\" (汇总数据)");
      return;
    }
    ctx.robot.lifecycle().settings().setText(opt::kStatisticsDate, day);
    if (view == "summary") {
      stats->ShowGroupSummary();
    } else {
      stats->ShowDayEvents();
    }
    SendJson(res, View(*stats, ctx));
  });
  // A click on a column heading of the list.
  server.Post("/api/more/statistics/sort", [&ctx, stats, viewMu](const httplib::Request& req,
                                                                 httplib::Response& res) {
    const std::optional<Json> body = JsonBody(req, res, "请求应为 {\"column\": 列的序号}");
    if (!body) return;
    std::lock_guard lock(*viewMu);
    const Json column = body->value("column", Json());
    if (!column.is_number_unsigned() || column.get<size_t>() >= stats->headings().size()) {
      SendError(res, 400, "没有这一列");
      return;
    }
    stats->sortByColumn(column.get<size_t>());
    SendJson(res, View(*stats, ctx));
  });
  server.Get("/api/more/chart", [&ctx](const httplib::Request& req, httplib::Response& res) {
    int days = 30;
    const std::string text = req.get_param_value("days");
    if (!text.empty()) {
      if (text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos ||
          std::stoi(text) < 1 || std::stoi(text) > kMaxChartDays) {
        SendError(res, 400, "days 应为 1 到 " + std::to_string(kMaxChartDays) + " 之间的整数");
        return;
      }
      days = std::stoi(text);
    }
    Lifecycle& l = ctx.robot.lifecycle();
    Json list = Json::array();
    for (const DayTally& t : JoinLeaveHistory(l.groupLog().directory(), l.clock().now(), days))
      list.push_back({{"day", t.day},
                      {"joins", t.counts.joins},
                      {"leaves", t.counts.leaves},
                      {"removals", t.counts.removals}});
    SendJson(res, Json{{"days", list}});
  });
}

}  // namespace bw::ui
