#include "onebot/events.h"

#include "host/cq_code.h"
#include "onebot/json_fields.h"
#include "util/log.h"

namespace bw::onebot {
namespace {

std::string ValueText(const Json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_boolean()) return v.get<bool>() ? "true" : "false";
  if (v.is_null()) return {};
  return v.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The keys a segment keeps, in this order; empty = every key as given.
std::vector<std::string> KeptKeys(const std::string& type) {
  if (type == "at") return {"qq"};
  if (type == "image" || type == "record") return {"file", "url"};
  return {};
}

std::string SegmentToCq(const Json& segment) {
  if (!segment.is_object()) return {};
  const std::string type = TextField(segment, "type");
  const Json empty = Json::object();
  auto dataIt = segment.find("data");
  const Json& data = (dataIt != segment.end() && dataIt->is_object()) ? *dataIt : empty;
  if (type == "text") return cq::Escape(TextField(data, "text"), /*commas=*/false);
  if (type.empty()) return {};
  std::string out = "[CQ:" + cq::Escape(type, true);
  auto append = [&](const std::string& key, const Json& value) {
    if (value.is_null()) return;
    out += "," + key + "=" + cq::Escape(ValueText(value), true);
  };
  const std::vector<std::string> kept = KeptKeys(type);
  if (kept.empty()) {
    for (auto it = data.begin(); it != data.end(); ++it) append(it.key(), it.value());
  } else {
    for (const std::string& key : kept)
      if (auto it = data.find(key); it != data.end()) append(key, *it);
  }
  return out + "]";
}

// A NUL would end the text wherever it is later read as a C string, hiding
// what follows it from the rules.
std::string WithoutNul(std::string text) {
  std::erase(text, '\0');
  return text;
}

}  // namespace

std::string MessageToCqText(const Json& message) {
  if (message.is_string()) return message.get<std::string>();
  if (message.is_object()) return SegmentToCq(message);  // a single segment
  std::string out;
  if (message.is_array())
    for (const Json& segment : message) out += SegmentToCq(segment);
  return out;
}

MappedEvent MapEvent(const Json& event) {
  MappedEvent m;
  if (!event.is_object()) {
    m.kind = EventKind::kMalformed;
    m.note = "not an object";
    return m;
  }
  const std::string postType = TextField(event, "post_type");
  auto require = [&](const char* key, int64_t& out) {
    std::optional<int64_t> v = IntField(event, key);
    if (!v) {
      m.kind = EventKind::kMalformed;
      m.note = std::string("no number in \"") + key + "\"";
      return false;
    }
    out = *v;
    return true;
  };
  const int32_t time = static_cast<int32_t>(IntField(event, "time").value_or(0));

  if (postType == "meta_event") {
    m.kind = EventKind::kMeta;
    m.note = TextField(event, "meta_event_type");
    if (const std::string sub = TextField(event, "sub_type"); !sub.empty()) m.note += " " + sub;
    return m;
  }
  if (postType == "message") {
    const std::string type = TextField(event, "message_type");
    const auto msgIt = event.find("message");
    std::string text;
    if (msgIt != event.end()) {
      text = MessageToCqText(*msgIt);
    } else {
      text = TextField(event, "raw_message");
    }
    text = WithoutNul(std::move(text));
    if (type == "group") {
      GroupMessageRecord& r = m.groupMessage;
      if (!require("group_id", r.fromGroup) || !require("user_id", r.fromQQ)) return m;
      r.msgId = static_cast<int32_t>(
          IntField(event, "message_id").value_or(0));  // the legacy id is 32 bits
      r.msg = std::move(text);
      r.font = static_cast<int32_t>(IntField(event, "font").value_or(0));
      const auto anon = event.find("anonymous");
      if (TextField(event, "sub_type") == "anonymous" || (anon != event.end() && anon->is_object()))
        r.fromQQ = kAnonymousSender;
      m.kind = EventKind::kGroupMessage;
      return m;
    }
    if (type == "private") {
      PrivateMessageRecord& r = m.privateMessage;
      if (!require("user_id", r.fromQQ)) return m;
      r.msgId = IntField(event, "message_id").value_or(0);
      r.msg = std::move(text);
      r.font = static_cast<int32_t>(IntField(event, "font").value_or(0));
      m.kind = EventKind::kPrivateMessage;
      return m;
    }
    m.note = "message of type \"" + type + "\"";
    return m;
  }
  if (postType == "notice") {
    const std::string type = TextField(event, "notice_type");
    const std::string sub = TextField(event, "sub_type");
    if (type != "group_increase" && type != "group_decrease") {
      m.note = "notice \"" + type + "\"";
      return m;
    }
    MemberChangeRecord& r = m.memberChange;
    if (!require("group_id", r.fromGroup) || !require("user_id", r.beingOperateQQ)) return m;
    r.fromQQ = IntField(event, "operator_id").value_or(0);
    r.sendTime = time;
    if (type == "group_increase") {
      r.subType = sub == "invite" ? 2 : 1;
      m.kind = EventKind::kMemberIncrease;
      return m;
    }
    if (sub == "leave") {
      r.subType = 1;
    } else if (sub == "kick") {
      r.subType = 2;
    } else if (sub == "kick_me") {
      r.subType = 3;
    } else {
      m.note = "group_decrease \"" + sub + "\"";
      return m;
    }
    m.kind = EventKind::kMemberDecrease;
    return m;
  }
  if (postType == "request") {
    const std::string type = TextField(event, "request_type");
    if (type != "group") {
      m.note = "request \"" + type + "\"";
      return m;
    }
    JoinRequestRecord& r = m.joinRequest;
    if (!require("group_id", r.fromGroup) || !require("user_id", r.fromQQ)) return m;
    const std::string sub = TextField(event, "sub_type");
    r.subType = sub == "invite" ? 2 : 1;
    r.sendTime = time;
    r.responseFlag = TextField(event, "flag");
    if (r.responseFlag.empty()) {
      m.kind = EventKind::kMalformed;
      m.note = "join request without a flag";
      return m;
    }
    // Only the implementation's own field names an inviter: the comment is the
    // applicant's free text, escaped like any message text so that nothing in it
    // reads as a code.
    int64_t inviter = IntField(event, "invitor_id").value_or(0);
    if (inviter <= 0) inviter = IntField(event, "inviter_id").value_or(0);
    r.inviter = inviter > 0 ? inviter : 0;
    r.msg = cq::Escape(WithoutNul(TextField(event, "comment")), /*commas=*/false);
    m.kind = EventKind::kJoinRequest;
    return m;
  }
  if (postType.empty()) {
    m.kind = EventKind::kMalformed;
    m.note = "no post_type";
    return m;
  }
  m.note = "post_type \"" + postType + "\"";
  return m;
}

bool Deliver(const MappedEvent& m, const EventHandlers& handlers) {
  switch (m.kind) {
    case EventKind::kGroupMessage:
      if (handlers.groupMessage) handlers.groupMessage(m.groupMessage);
      return true;
    case EventKind::kPrivateMessage:
      if (handlers.privateMessage) handlers.privateMessage(m.privateMessage);
      return true;
    case EventKind::kJoinRequest:
      if (handlers.joinRequest) handlers.joinRequest(m.joinRequest);
      return true;
    case EventKind::kMemberIncrease:
      if (handlers.memberIncrease) handlers.memberIncrease(m.memberChange);
      return true;
    case EventKind::kMemberDecrease:
      if (handlers.memberDecrease) handlers.memberDecrease(m.memberChange);
      return true;
    case EventKind::kMeta:
    case EventKind::kIgnored:
    case EventKind::kMalformed:
      return false;
  }
  return false;
}

void RouteEvent(const Json& event, const EventHandlers& handlers) {
  const MappedEvent m = MapEvent(event);
  if (Deliver(m, handlers)) return;
  switch (m.kind) {
    case EventKind::kMeta:
      if (m.note.starts_with("heartbeat")) {
        Log(LogLevel::kDebug, "OneBot: heartbeat");
      } else {
        LogInfo("OneBot: " + m.note);
      }
      return;
    case EventKind::kIgnored:
      Log(LogLevel::kDebug, "OneBot: not handled: " + m.note);
      return;
    default:
      LogWarning("OneBot: malformed event dropped (" + m.note +
                 "): " + Excerpt(event.dump(-1, ' ', false, Json::error_handler_t::replace)));
      return;
  }
}

}  // namespace bw::onebot
