// OneBot v11 events as the robot's event records, shaped the way the legacy
// host delivered them: array messages become CQ-code text, anonymous senders
// 80000000, notice and request sub-types their numeric codes. The inviter of a
// join request comes only from the implementation's own field (`invitor_id`
// or `inviter_id`), never from the applicant's comment, which is kept as
// escaped CQ text. NUL characters are dropped from message texts and
// comments.
//
// Used by the live connection and by replay alike.
// Thread-safety: pure functions (RouteEvent calls the handlers it is given).
#pragma once

#include <string>

#include "events/event_intake.h"
#include "events/records.h"
#include "onebot/connection.h"

namespace bw::onebot {

// A message given as CQ-code text is taken as it is; an array of segments is
// turned into CQ-code text: text escaped without commas, values with commas.
// Mentions keep only their account ("[CQ:at,qq=10001]"), images and voice
// their file and url, so that rules searching for those codes find them.
std::string MessageToCqText(const Json& message);

enum class EventKind {
  kGroupMessage,
  kPrivateMessage,
  kJoinRequest,
  kMemberIncrease,
  kMemberDecrease,
  kMeta,       // heartbeat, lifecycle: logged only
  kIgnored,    // a kind the robot does not handle
  kMalformed,  // a required field is missing or of the wrong type
};

struct MappedEvent {
  EventKind kind = EventKind::kIgnored;
  GroupMessageRecord groupMessage;
  PrivateMessageRecord privateMessage;
  JoinRequestRecord joinRequest;
  MemberChangeRecord memberChange;  // increase and decrease
  std::string note;                 // what was ignored or why it is malformed
};

MappedEvent MapEvent(const Json& event);

// Hands a mapped record to its handler; false for meta, ignored and malformed
// events (nothing is called).
bool Deliver(const MappedEvent& event, const EventHandlers& handlers);

// Maps, logs meta/ignored/malformed events, and hands the record to its handler.
void RouteEvent(const Json& event, const EventHandlers& handlers);

}  // namespace bw::onebot
