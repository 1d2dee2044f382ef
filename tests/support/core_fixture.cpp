#include "support/core_fixture.h"

#include <algorithm>

#include "util/files.h"

namespace bw::test {
CoreOptions CoreFixture::coreOptions() {
  CoreOptions o;
  o.refreshInsideStartup = true;
  return o;
}

CoreFixture::CoreFixture()
    : runDirectory(dir.path().substr(0, dir.path().size() - 1)),
      data(dir.path() + "data/10000/"),
      clock(LocalTime(2026, 12, 7, 21, 5, 9)),
      lifecycle(host, clock, qq, runDirectory, QueueMode::kSynchronous),
      core(lifecycle, coreOptions()) {
  EnsureDirectory(data);
  lifecycle.runLog().subscribe([this](const RunLogEntry& e) {
    std::lock_guard lock(logMu);
    log.push_back(e.type + "|" + e.message);
  });
}

void CoreFixture::startRobot() {
  lifecycle.setHooks(core.hooks());
  lifecycle.Initialize(1);
  lifecycle._eventStartup();
  lifecycle._eventEnable();
}

CoreFixture::Restarted::Restarted(CoreFixture& f)
    : lifecycle(host, f.clock, f.qq, f.runDirectory, QueueMode::kSynchronous),
      core(lifecycle, coreOptions()) {
  lifecycle.setHooks(core.hooks());
  lifecycle.Initialize(1);
  lifecycle._eventStartup();
  lifecycle._eventEnable();
}

std::vector<std::string> CoreFixture::runLog() {
  std::lock_guard lock(logMu);
  return log;
}

bool CoreFixture::logged(const std::string& line) {
  std::lock_guard lock(logMu);
  return std::find(log.begin(), log.end(), line) != log.end();
}

}  // namespace bw::test
