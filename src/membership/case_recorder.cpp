#include "membership/case_recorder.h"

#include <utility>

#include "host/identity.h"
#include "settings/settings_model.h"
#include "util/clock.h"
#include "util/text.h"

namespace bw {

CaseRecorder::CaseRecorder(Clock& clock, const Identity& identity, CaseTable& table)
    : clock_(clock), identity_(identity), table_(table) {}

int64_t CaseRecorder::robot() const { return TextToInt(identity_.loginAccount()); }

int64_t CaseRecorder::record(CaseRecord c) {
  if (c.time == 0) c.time = clock_.unixSeconds();
  if (c.robot == 0) c.robot = robot();
  return table_.add(std::move(c));
}

int64_t CaseRecorder::record(std::string_view action, int64_t group, int64_t member,
                             const CaseContext& why, int64_t amount) {
  CaseRecord c;
  c.group = group;
  c.member = member;
  c.action = std::string(action);
  c.rule = why.rule;
  c.reason = why.reason;
  c.evidence = why.evidence;
  c.actor = why.actor;
  c.amount = amount;
  return record(std::move(c));
}

std::string CaseRecorder::RuleLabel(std::string_view option) {
  const ControlSpec* spec = Settings::Find(option);
  return spec ? spec->label : std::string(option);
}

}  // namespace bw
