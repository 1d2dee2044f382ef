// RunLog: the running log every part of the robot reports its actions and
// failures to (the settings window's "运行日志" page). Entries go to the run-log
// list view (ID, time "M-d hh:mm:ss", type or "信息", message; red when the
// message contains "失败"), to the status text, and to the service log.
// The newest `capacity` entries are kept (in the list view too), so a service
// that runs for months does not grow without end, and each message only as an
// excerpt of at most kMaxRunLogMessageBytes (a violation entry quotes the chat
// message, which a hostile member can make megabytes long).
//
// Thread-safety: all members may be called from any thread. Sinks and the
// view's listeners run on the writing thread and must not write to the run log.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory_resource>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "settings/list_model.h"
#include "util/clock.h"

namespace bw {

struct RunLogEntry {
  int64_t id = 0;       // 1-based, never reused
  std::string time;     // "M-d hh:mm:ss", local time
  std::string type;     // as shown: an empty type shows "信息"
  std::string message;  // an excerpt when longer than kMaxRunLogMessageBytes
  bool red = false;     // the whole message contains "失败"
};

inline constexpr size_t kMaxRunLogMessageBytes = 1024;

class RunLog {
 public:
  // `view` may be null (no list view kept).
  RunLog(const Clock& clock, ListModel* view = nullptr, size_t capacity = 10000);

  void WriteRunLog(std::string_view type, std::string_view message);
  // Whether each entry is also a line of the service log (default on; off
  // for the panel's sandbox, whose entries are shown only to the owner).
  void setServiceLog(bool on) { serviceLog_.store(on); }
  // Begins each of those lines: in a process of many accounts, which one's.
  void setServiceLogPrefix(std::string prefix) {
    std::lock_guard lock(mu_);
    serviceLogPrefix_ = std::move(prefix);
  }

  std::vector<RunLogEntry> entries() const;
  // The entries with an id above `after`, the newest `max` of them, oldest
  // first: what a poll asks for, without copying the whole log each time.
  std::vector<RunLogEntry> entriesAfter(int64_t after, size_t max = SIZE_MAX) const;
  // The newest entry's id, 0 while there is none.
  int64_t lastId() const;
  // The latest message (the status line).
  std::string status() const;

  // Told of every entry after it was added (replay prints them).
  using Sink = std::function<void(const RunLogEntry&)>;
  int subscribe(Sink sink);
  void unsubscribe(int id);

 private:
  std::string timeText(SystemTime now);

  const Clock& clock_;
  ListModel* view_;
  const size_t capacity_;
  mutable std::mutex mu_;
  std::mutex writeMu_;  // keeps the view and the sinks in entry order
  // The kept entries live in blocks of the pool rather than as tens of
  // thousands of small blocks of their own: written among a burst's
  // short-lived allocations, those would pin the burst's pages long after it
  // was freed (10,000 entries kept ~10 MB resident after a drain of kicks).
  struct Kept {
    using allocator_type = std::pmr::polymorphic_allocator<char>;
    Kept(const RunLogEntry& e, const allocator_type& alloc)
        : id(e.id),
          time(e.time, alloc),
          type(e.type, alloc),
          message(e.message, alloc),
          red(e.red) {}
    RunLogEntry entry() const;
    int64_t id;
    std::pmr::string time, type, message;
    bool red;
  };
  std::pmr::unsynchronized_pool_resource pool_;  // guarded by mu_
  std::pmr::deque<Kept> entries_{&pool_};
  int64_t nextId_ = 1;
  std::string status_;
  std::map<int, Sink> sinks_;
  std::atomic<bool> serviceLog_{true};
  std::string serviceLogPrefix_;  // under mu_
  int nextSink_ = 1;
  // The text of the minute the last entry fell in (timeText).
  std::mutex timeMu_;
  bool minuteKnown_ = false;  // the four below are set
  int64_t minute_ = 0;        // its first second since the epoch
  std::string minutePrefix_;  // "M-d hh:mm:"
  bool minuteWhole_ = false;  // every second of it reads as the prefix and its two digits
};

}  // namespace bw
