// OneBot events mapped to the legacy records: message text, sub-type codes,
// the inviter, NUL characters, and what is dropped.
#include "onebot/events.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "events/event_budget.h"
#include "onebot/event_hold.h"
#include "onebot/json_fields.h"

namespace bw::onebot {
namespace {

Json Parse(std::string_view text) { return Json::parse(text); }

TEST(MessageToCqText, TurnsSegmentsIntoEscapedCqCodes) {
  Json message = Parse(R"([
    {"type":"text","data":{"text":"a&b [x], "}},
    {"type":"at","data":{"qq":"10000","name":"青榆"}},
    {"type":"at","data":{"qq":"all"}},
    {"type":"face","data":{"id":"14"}},
    {"type":"image","data":{"summary":"[图片]","file":"ABC.jpg","sub_type":0,"url":"https://m.qpic.cn/x?a=1&b=2,3"}},
    {"type":"record","data":{"file":"v.amr"}},
    {"type":"share","data":{"url":"http://e.com","title":"t,[1]"}},
    {"type":"reply","data":{"id":12}},
    {"type":"text","data":{}},
    "not a segment",
    {"type":"","data":{"x":"y"}}
  ])");
  EXPECT_EQ(MessageToCqText(message),
            "a&amp;b &#91;x&#93;, "
            "[CQ:at,qq=10000]"
            "[CQ:at,qq=all]"
            "[CQ:face,id=14]"
            "[CQ:image,file=ABC.jpg,url=https://m.qpic.cn/x?a=1&amp;b=2&#44;3]"
            "[CQ:record,file=v.amr]"
            "[CQ:share,url=http://e.com,title=t&#44;&#91;1&#93;]"
            "[CQ:reply,id=12]");
}

TEST(MessageToCqText, TakesCqTextAsItIs) {
  EXPECT_EQ(MessageToCqText(Json("[CQ:at,qq=1] &#91;hi&#93;")), "[CQ:at,qq=1] &#91;hi&#93;");
  EXPECT_EQ(MessageToCqText(Json()), "");
  EXPECT_EQ(MessageToCqText(Json(5)), "");
}

TEST(MapEvent, GroupAndPrivateMessages) {
  MappedEvent m =
      MapEvent(Parse(R"({"post_type":"message","message_type":"group","sub_type":"normal",
      "message_id":-2147483000,"group_id":"100","user_id":20001,"font":3,"anonymous":null,
      "message":[{"type":"text","data":{"text":"hi"}}],"raw_message":"ignored"})"));
  ASSERT_EQ(m.kind, EventKind::kGroupMessage);
  EXPECT_EQ(m.groupMessage.fromGroup, 100);  // numbers as text are accepted
  EXPECT_EQ(m.groupMessage.fromQQ, 20001);
  EXPECT_EQ(m.groupMessage.msgId, -2147483000);
  EXPECT_EQ(m.groupMessage.font, 3);
  EXPECT_EQ(m.groupMessage.msg, "hi");

  m = MapEvent(Parse(R"({"post_type":"message","message_type":"group","sub_type":"normal",
      "group_id":100,"user_id":5,"anonymous":{"id":9,"name":"无名","flag":"x"},"message":"a"})"));
  EXPECT_EQ(m.groupMessage.fromQQ, 80000000);

  m = MapEvent(Parse(R"({"post_type":"message","message_type":"group","group_id":100,
      "user_id":5,"raw_message":"[CQ:face,id=1]"})"));
  EXPECT_EQ(m.groupMessage.msg, "[CQ:face,id=1]");  // without "message" the raw text

  m = MapEvent(Parse(R"({"post_type":"message","message_type":"private","sub_type":"friend",
      "message_id":4294967296,"user_id":5,"message":"在吗"})"));
  ASSERT_EQ(m.kind, EventKind::kPrivateMessage);
  EXPECT_EQ(m.privateMessage.fromQQ, 5);
  EXPECT_EQ(m.privateMessage.msgId, 4294967296);
  EXPECT_EQ(m.privateMessage.msg, "在吗");

  EXPECT_EQ(MapEvent(Parse(R"({"post_type":"message","message_type":"guild","user_id":1})")).kind,
            EventKind::kIgnored);
  EXPECT_EQ(
      MapEvent(
          Parse(R"({"post_type":"message_sent","message_type":"group","group_id":1,"user_id":1})"))
          .kind,
      EventKind::kIgnored);  // the robot's own messages
}

TEST(MapEvent, MissingOrWrongNumbersMakeAnEventMalformed) {
  for (
      const char* text :
      {R"({"post_type":"message","message_type":"group","user_id":1,"message":"x"})",
       R"({"post_type":"message","message_type":"group","group_id":"10a","user_id":1})",
       R"({"post_type":"message","message_type":"private","user_id":null})",
       R"({"post_type":"notice","notice_type":"group_increase","group_id":1})",
       R"({"post_type":"request","request_type":"group","group_id":1,"user_id":2})",
       R"({"post_type":"message","message_type":"group","group_id":1.5,"user_id":1})",
       R"({"post_type":"message","message_type":"group","group_id":99999999999999999999,"user_id":1})",
       R"({"time":1})", R"([1])"}) {
    EXPECT_EQ(MapEvent(Parse(text)).kind, EventKind::kMalformed) << text;
  }
}

TEST(MapEvent, MemberChangesCarryTheLegacySubTypes) {
  struct Case {
    const char* notice;
    const char* sub;
    EventKind kind;
    int32_t subType;
  } cases[] = {
      {"group_increase", "approve", EventKind::kMemberIncrease, 1},
      {"group_increase", "invite", EventKind::kMemberIncrease, 2},
      {"group_decrease", "leave", EventKind::kMemberDecrease, 1},
      {"group_decrease", "kick", EventKind::kMemberDecrease, 2},
      {"group_decrease", "kick_me", EventKind::kMemberDecrease, 3},
      {"group_decrease", "disband", EventKind::kIgnored, 0},
  };
  for (const Case& c : cases) {
    Json e = {{"post_type", "notice"}, {"notice_type", c.notice}, {"sub_type", c.sub},
              {"time", 1765112709},    {"group_id", 100},         {"operator_id", 7},
              {"user_id", 8}};
    MappedEvent m = MapEvent(e);
    EXPECT_EQ(m.kind, c.kind) << c.notice << " " << c.sub;
    if (c.kind == EventKind::kIgnored) continue;
    EXPECT_EQ(m.memberChange.subType, c.subType) << c.sub;
    EXPECT_EQ(m.memberChange.fromGroup, 100);
    EXPECT_EQ(m.memberChange.fromQQ, 7);
    EXPECT_EQ(m.memberChange.beingOperateQQ, 8);
    EXPECT_EQ(m.memberChange.sendTime, 1765112709);
  }
  EXPECT_EQ(
      MapEvent(
          Parse(R"({"post_type":"notice","notice_type":"group_ban","group_id":1,"user_id":2})"))
          .kind,
      EventKind::kIgnored);
}

TEST(MapEvent, TheInviterComesFromTheImplementationNeverFromTheComment) {
  MappedEvent m = MapEvent(Parse(R"({"post_type":"request","request_type":"group","sub_type":"add",
      "group_id":100,"user_id":30001,"comment":"问题：你从哪来 答案：qq=666]","flag":"f-1",
      "invitor_id":30000,"time":1765112710})"));
  ASSERT_EQ(m.kind, EventKind::kJoinRequest);
  const JoinRequestRecord& r = m.joinRequest;
  EXPECT_EQ(r.subType, 1);
  EXPECT_EQ(r.responseFlag, "f-1");
  EXPECT_EQ(r.fromQQ, 30001);
  EXPECT_EQ(r.sendTime, 1765112710);
  EXPECT_EQ(r.inviter, 30000);
  EXPECT_EQ(r.msg, "问题：你从哪来 答案：qq=666&#93;");

  // Other spellings: inviter_id, and decimal text.
  m = MapEvent(Parse(R"({"post_type":"request","request_type":"group","sub_type":"add",
      "group_id":100,"user_id":30001,"comment":"hi","flag":"f-2","inviter_id":"30000"})"));
  EXPECT_EQ(m.joinRequest.inviter, 30000);
  EXPECT_EQ(m.joinRequest.msg, "hi");

  // Only the applicant's words name someone: no inviter, and the words are
  // escaped so that nothing reads them as a code.
  m = MapEvent(Parse(R"({"post_type":"request","request_type":"group","sub_type":"add",
      "group_id":100,"user_id":30001,"comment":"邀请人qq=30000] & [CQ:at,qq=1]","flag":"f-3"})"));
  EXPECT_EQ(m.joinRequest.inviter, 0);
  EXPECT_EQ(m.joinRequest.msg, "邀请人qq=30000&#93; &amp; &#91;CQ:at,qq=1&#93;");
  EXPECT_EQ(m.joinRequest.msg.find(']'), std::string::npos);

  for (const char* none : {R"("invitor_id":0)", R"("invitor_id":-5)", R"("invitor_id":"abc")",
                           R"("inviter_id":null)"}) {
    m = MapEvent(Parse(std::string(R"({"post_type":"request","request_type":"group",
        "sub_type":"add","group_id":100,"user_id":30001,"comment":"hello","flag":"f-4",)") +
                       none + "}"));
    EXPECT_EQ(m.joinRequest.inviter, 0) << none;
    EXPECT_EQ(m.joinRequest.msg, "hello") << none;
  }
  m = MapEvent(Parse(R"({"post_type":"request","request_type":"group","sub_type":"invite",
      "group_id":100,"user_id":1,"flag":"f-5"})"));
  EXPECT_EQ(m.joinRequest.subType, 2);
  EXPECT_EQ(m.joinRequest.msg, "");
  EXPECT_EQ(
      MapEvent(Parse(R"({"post_type":"request","request_type":"friend","user_id":1,"flag":"x"})"))
          .kind,
      EventKind::kIgnored);
}

TEST(MapEvent, NulCharactersAreDroppedSoNoTextIsCutShort) {
  MappedEvent m = MapEvent(Parse(
      R"({"post_type":"message","message_type":"group","group_id":100,"user_id":2,"message":"\u0000加我\u0000微信"})"));
  EXPECT_EQ(m.groupMessage.msg, "加我微信");
  m = MapEvent(Parse(
      R"({"post_type":"message","message_type":"group","group_id":100,"user_id":2,"message":[{"type":"text","data":{"text":"\u0000加我"}},{"type":"face","data":{"id":"1\u0000"}},{"type":"text","data":{"text":"微信"}}]})"));
  EXPECT_EQ(m.groupMessage.msg, "加我[CQ:face,id=1]微信");
  m = MapEvent(Parse(
      R"({"post_type":"message","message_type":"private","user_id":2,"raw_message":"a\u0000b"})"));
  EXPECT_EQ(m.privateMessage.msg, "ab");
  m = MapEvent(Parse(R"({"post_type":"request","request_type":"group","sub_type":"add",
      "group_id":100,"user_id":30001,"comment":"\u0000加我微信","flag":"f"})"));
  EXPECT_EQ(m.joinRequest.msg, "加我微信");
}

TEST(MapEvent, MetaEventsAreOnlyNoted) {
  MappedEvent m = MapEvent(
      Parse(R"({"post_type":"meta_event","meta_event_type":"lifecycle","sub_type":"connect"})"));
  EXPECT_EQ(m.kind, EventKind::kMeta);
  EXPECT_EQ(m.note, "lifecycle connect");
  EventHandlers none;  // routing a meta event calls no handler (and does not crash without them)
  RouteEvent(Parse(R"({"post_type":"meta_event","meta_event_type":"heartbeat","interval":5000})"),
             none);
  int calls = 0;
  EventHandlers counting;
  counting.groupMessage = [&](const GroupMessageRecord&) { ++calls; };
  counting.privateMessage = [&](const PrivateMessageRecord&) { ++calls; };
  RouteEvent(Parse(R"({"post_type":"meta_event","meta_event_type":"heartbeat"})"), counting);
  RouteEvent(Parse(R"({"post_type":"message","message_type":"group","user_id":1})"), counting);
  EXPECT_EQ(calls, 0);
  RouteEvent(Parse(R"({"post_type":"message","message_type":"private","user_id":1,"message":"x"})"),
             counting);
  EXPECT_EQ(calls, 1);
}

TEST(JsonFields, AcceptNumbersAndDecimalText) {
  Json o = Parse(
      R"({"a":5,"b":"-7","c":"7x","d":true,"e":"1","f":18446744073709551615,"g":"","h":1.5})");
  EXPECT_EQ(IntField(o, "a"), 5);
  EXPECT_EQ(IntField(o, "b"), -7);
  EXPECT_FALSE(IntField(o, "c"));
  EXPECT_FALSE(IntField(o, "f"));
  EXPECT_FALSE(IntField(o, "g"));
  EXPECT_FALSE(IntField(o, "h"));
  EXPECT_FALSE(IntField(o, "missing"));
  EXPECT_EQ(TextField(o, "a"), "5");
  EXPECT_EQ(TextField(o, "d"), "");
  EXPECT_TRUE(BoolField(o, "d"));
  EXPECT_TRUE(BoolField(o, "e"));
  EXPECT_TRUE(BoolField(o, "c", true));
  EXPECT_FALSE(BoolField(o, "c", false));
  EXPECT_EQ(Excerpt(std::string(300, 'x')).size(), 203u);
  const std::string chinese = std::string(199, 'x') + "青";  // 青 straddles byte 200
  EXPECT_EQ(Excerpt(chinese + std::string(10, 'y')), std::string(199, 'x') + "...");
}

}  // namespace
}  // namespace bw::onebot

namespace bw::onebot {
namespace {

TEST(ParseFrame, ReadsLoneSurrogateEscapesAsReplacementCharacters) {
  // High alone, low alone, high at the very end; a pair and an escaped backslash stay.
  ParsedFrame f = ParseFrame(R"({"t":"a\ud800b\udc00c\ud83d\ude00d\\ud800","u":"\udbff"})");
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(f.value["t"], "a\uFFFDb\uFFFDc\U0001F600d\\ud800");
  EXPECT_EQ(f.value["u"], "\uFFFD");
  // A high half followed by another high half: both replaced, not paired.
  EXPECT_EQ(ReplaceLoneSurrogates(R"("\ud800\ud801")"), R"("\ufffd\ufffd")");
  EXPECT_EQ(ReplaceLoneSurrogates(R"("\ud800\u0041")"), R"("\ufffd\u0041")");
  // Broken JSON stays broken.
  EXPECT_FALSE(ParseFrame(R"({"t":"\ud800)").ok());
}

TEST(EventHold, HoldsEventsUntilReleasedThenPassesThemOnInOrder) {
  std::mutex mu;
  std::vector<int> seen;
  EventHold hold([&](const Json& e) {
    std::lock_guard lock(mu);
    seen.push_back(e["n"].get<int>());
  });
  for (int n = 0; n < 100; ++n) hold.onEvent(Json{{"n", n}});
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(hold.held(), 100u);
  // Events keep coming from another thread while the held ones are handed on.
  std::thread more([&] {
    for (int n = 100; n < 2000; ++n) hold.onEvent(Json{{"n", n}});
  });
  hold.release();
  more.join();
  hold.release();  // a second release changes nothing
  ASSERT_EQ(seen.size(), 2000u);
  for (int n = 0; n < 2000; ++n) ASSERT_EQ(seen[n], n);
}

TEST(EventHold, DropsBeyondItsCapacity) {
  std::vector<int> seen;
  EventHold hold([&](const Json& e) { seen.push_back(e["n"].get<int>()); }, 3);
  for (int n = 0; n < 5; ++n) hold.onEvent(Json{{"n", n}});
  hold.release();
  hold.onEvent(Json{{"n", 9}});
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 9}));
}

// The hold is bounded by the bytes of what it keeps too: full, it says so to
// the connection (which stops reading) and calls back once released; released,
// it hands its events on only as fast as the queues' budget has room.
TEST(EventHold, BoundedByBytesAndReleasedAsFastAsTheQueuesHaveRoom) {
  EventBudget queues(100);
  std::vector<int> seen;
  std::vector<size_t> usedAtDelivery;
  EventHold hold(
      [&](const Json& e) {
        usedAtDelivery.push_back(queues.used());
        seen.push_back(e["n"].get<int>());
        queues.add(60);  // as a queue would, for the record made of it
      },
      1000, 200);
  hold.setDownstream(&queues);
  int told = 0;
  hold.setRoomListener([&] { ++told; });
  const std::string text(80, 'x');  // each held event is about 90 bytes of text
  int n = 0;
  while (hold.hasRoom()) hold.onEvent(Json{{"n", n++}, {"t", text}});
  EXPECT_EQ(n, 3);  // the third went over the 200 bytes
  EXPECT_LE(hold.heldBytes(), 200u + 100u);
  EXPECT_FALSE(hold.hasRoom());
  // A worker that handles one record every so often, on another thread.
  std::atomic<bool> done{false};
  std::thread worker([&] {
    while (!done.load()) {
      if (queues.used() > 0) queues.remove(60);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  hold.release();
  done.store(true);
  worker.join();
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
  for (size_t used : usedAtDelivery) EXPECT_LT(used, 100u);  // never beyond the budget
  EXPECT_EQ(told, 1);
  EXPECT_TRUE(hold.hasRoom());  // open: now the room of the queues
  EXPECT_EQ(hold.held(), 0u);
}

TEST(EventHold, AStopBeforeTheReleaseSaysHowManyWereNeverHandled) {
  EventHold hold([](const Json&) { FAIL() << "nothing is delivered"; });
  for (int n = 0; n < 7; ++n) hold.onEvent(Json{{"n", n}});
  EXPECT_EQ(hold.drop(), 7u);
  EXPECT_EQ(hold.held(), 0u);
}

}  // namespace
}  // namespace bw::onebot
