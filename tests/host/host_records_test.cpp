#include "host/host_records.h"

#include <gtest/gtest.h>

#include "util/charset.h"
#include "util/log.h"

namespace bw {
namespace {

// Builds big-endian records by hand, independently of the encoders.
class Bytes {
 public:
  Bytes& be(uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) s_ += static_cast<char>((v >> (8 * i)) & 0xFF);
    return *this;
  }
  Bytes& i16(uint16_t v) { return be(v, 2); }
  Bytes& i32(int32_t v) { return be(static_cast<uint32_t>(v), 4); }
  Bytes& i64(int64_t v) { return be(static_cast<uint64_t>(v), 8); }
  Bytes& raw(std::string_view b) {
    s_.append(b);
    return *this;
  }
  Bytes& field(std::string_view b) { return i16(static_cast<uint16_t>(b.size())).raw(b); }
  Bytes& gbk(std::string_view utf8) { return field(Utf8ToGbk(utf8)); }
  const std::string& str() const { return s_; }
  std::string b64() const { return Base64Encode(s_); }

 private:
  std::string s_;
};

std::string MemberRecord(int64_t group, int64_t account, std::string_view nick,
                         int32_t unfriendly = 0, int32_t cardChangeable = 1) {
  return Bytes()
      .i64(group)
      .i64(account)
      .gbk(nick)
      .gbk("卡片")
      .i32(1)
      .i32(23)
      .gbk("北京")
      .i32(1700000000)
      .i32(1700000100)
      .gbk("活跃")
      .i32(2)
      .i32(unfriendly)
      .gbk("头衔")
      .i32(-1)
      .i32(cardChangeable)
      .str();
}

std::string MemberList(int32_t count, const std::vector<std::string>& entries) {
  Bytes b;
  b.i32(count);
  for (const auto& e : entries) b.field(e);
  return b.b64();
}

GroupMember Previous() {
  GroupMember m;
  m.group = 7;
  m.account = 8;
  m.nickname = "previous";
  return m;
}

TEST(Base64Test, DecodesStandardAlphabetWithAndWithoutPadding) {
  EXPECT_EQ(Base64Decode(""), "");
  EXPECT_EQ(Base64Decode("Zg=="), "f");
  EXPECT_EQ(Base64Decode("Zm8="), "fo");
  EXPECT_EQ(Base64Decode("Zm9v"), "foo");
  EXPECT_EQ(Base64Decode("Zm9vYmFy"), "foobar");
  EXPECT_EQ(Base64Decode("Zm8"), "fo");
  EXPECT_EQ(Base64Decode("+/+/"), "\xFB\xFF\xBF");
  const std::string all = [] {
    std::string s;
    for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
    return s;
  }();
  for (size_t n = 0; n <= all.size(); n += 37) {
    EXPECT_EQ(Base64Decode(Base64Encode(all.substr(0, n))), all.substr(0, n)) << n;
  }
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
}

TEST(Base64Test, InvalidTextGivesEmptyBytes) {
  EXPECT_EQ(Base64Decode("Zm9v!mFy"), "");  // character outside the alphabet
  EXPECT_EQ(Base64Decode("Zm9-YmFy"), "");  // URL-safe alphabet is not standard
  EXPECT_EQ(Base64Decode("Zm9vY"), "");     // one character left over
  EXPECT_EQ(Base64Decode("Zm=vYmFy"), "");  // padding inside
  EXPECT_EQ(Base64Decode("Zm8=="), "");     // padding beyond the group of four
  EXPECT_EQ(Base64Decode("Zg==="), "");
  EXPECT_EQ(Base64Decode("===="), "");
  EXPECT_EQ(Base64Decode("Zm9v\nYmFy"), "");
  EXPECT_EQ(Base64Decode(std::string("Zm\0v", 4)), "");
}

TEST(DecodeAnonymousTest, ReadsIdNameAndToken) {
  const std::string token("\x00\x01\xFF", 3);
  AnonymousInfo info;
  ASSERT_TRUE(DecodeAnonymous(Bytes().i64(-9000000001).gbk("匿名者").field(token).b64(), info));
  EXPECT_EQ(info.id, -9000000001);
  EXPECT_EQ(info.name, "匿名者");
  EXPECT_EQ(info.token, token);
  AnonymousInfo again;
  ASSERT_TRUE(DecodeAnonymous(EncodeAnonymous(info), again));
  EXPECT_EQ(again.name, info.name);
  EXPECT_EQ(again.token, info.token);
}

TEST(DecodeAnonymousTest, FailureRulesLeaveTheResultUntouched) {
  AnonymousInfo info;
  info.id = 5;
  info.name = "kept";
  const std::string shortRecord = Bytes().i64(1).i16(0).str();  // 10 bytes
  const std::string nameTooLong = Bytes().i64(1).i16(30).raw("ab").i16(0).str();
  const std::string tokenCut = Bytes().i64(1).gbk("n").i16(5).raw("ab").str();
  for (const std::string& text :
       {std::string(), std::string("not base64!"), Base64Encode(shortRecord),
        Base64Encode(shortRecord + std::string(1, '\0')), Base64Encode(nameTooLong),
        Base64Encode(tokenCut)}) {
    EXPECT_FALSE(DecodeAnonymous(text, info)) << text;
    EXPECT_EQ(info.id, 5);
    EXPECT_EQ(info.name, "kept");
  }
  // Exactly 12 bytes with two empty texts is a valid record.
  EXPECT_TRUE(DecodeAnonymous(Base64Encode(Bytes().i64(1).i16(0).i16(0).str()), info));
  EXPECT_EQ(info.name, "");
}

TEST(DecodeMemberListTest, DecodesEveryFieldAndConvertsTexts) {
  std::vector<GroupMember> members;
  ASSERT_TRUE(DecodeMemberList(
      MemberList(2, {MemberRecord(100, 10001, "小明'"), MemberRecord(100, 10002, "Bob", 1, 0)}),
      members));
  ASSERT_EQ(members.size(), 2u);
  const GroupMember& m = members[0];
  EXPECT_EQ(m.group, 100);
  EXPECT_EQ(m.account, 10001);
  EXPECT_EQ(m.nickname, "小明'");
  EXPECT_EQ(m.card, "卡片");
  EXPECT_EQ(m.sex, 1);
  EXPECT_EQ(m.age, 23);
  EXPECT_EQ(m.area, "北京");
  EXPECT_EQ(m.joinTime, 1700000000);
  EXPECT_EQ(m.lastSpeakTime, 1700000100);
  EXPECT_EQ(m.level, "活跃");
  EXPECT_EQ(m.permission, 2);
  EXPECT_FALSE(m.unfriendly);
  EXPECT_EQ(m.title, "头衔");
  EXPECT_EQ(m.titleExpiry, -1);
  EXPECT_TRUE(m.cardChangeable);
  EXPECT_EQ(members[1].nickname, "Bob");
  EXPECT_TRUE(members[1].unfriendly);
  EXPECT_FALSE(members[1].cardChangeable);
}

TEST(DecodeMemberListTest, BooleansAreTrueOnlyForOne) {
  std::vector<GroupMember> members;
  ASSERT_TRUE(DecodeMemberList(MemberList(1, {MemberRecord(1, 2, "x", 2, -1)}), members));
  EXPECT_FALSE(members[0].unfriendly);
  EXPECT_FALSE(members[0].cardChangeable);
}

TEST(DecodeMemberListTest, CountLargerThanEntriesFailsAndKeepsPreviousList) {
  std::vector<GroupMember> members{Previous()};
  const std::vector<std::string> three{MemberRecord(1, 11, "a"), MemberRecord(1, 12, "b"),
                                       MemberRecord(1, 13, "c")};
  EXPECT_FALSE(DecodeMemberList(MemberList(5, three), members));
  EXPECT_EQ(members, std::vector<GroupMember>{Previous()});
  ASSERT_TRUE(DecodeMemberList(MemberList(3, three), members));
  EXPECT_EQ(members.size(), 3u);
  EXPECT_EQ(members[2].account, 13);
}

TEST(DecodeMemberListTest, EveryFailureRuleKeepsPreviousList) {
  const std::string good = MemberRecord(1, 11, "a");
  std::string cut = good;
  cut.resize(good.size() - 3);  // last field runs past the entry's end
  const std::string shortEntry = Bytes().i64(1).i64(2).raw(std::string(23, '\0')).str();
  Bytes entryPastEnd;
  entryPastEnd.i32(1).i16(static_cast<uint16_t>(good.size() + 10)).raw(good);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty text", ""},
      {"invalid Base64", "AAAA*AAA"},
      {"fewer than 4 bytes", Base64Encode(std::string("\0\0\1", 3))},
      {"negative count", MemberList(-1, {good})},
      {"entry shorter than 40 bytes", MemberList(1, {shortEntry})},
      {"field past the entry's end", MemberList(1, {cut})},
      {"entry past the list's end", entryPastEnd.b64()},
      {"second entry broken", MemberList(2, {good, shortEntry})},
  };
  for (const auto& [name, text] : cases) {
    std::vector<GroupMember> members{Previous()};
    EXPECT_FALSE(DecodeMemberList(text, members)) << name;
    EXPECT_EQ(members, std::vector<GroupMember>{Previous()}) << name;
  }
}

TEST(DecodeMemberListTest, RejectedListIsLoggedWithItsReason) {
  std::vector<std::string> lines;
  LogSink old = SetLogSink([&](LogLevel level, std::string_view line) {
    if (level == LogLevel::kWarning) lines.emplace_back(line);
  });
  std::vector<GroupMember> members;
  EXPECT_FALSE(DecodeMemberList(MemberList(5, {MemberRecord(1, 11, "a")}), members));
  SetLogSink(std::move(old));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("count 5 but only 1 entries"), std::string::npos) << lines[0];
}

TEST(DecodeMemberListTest, ZeroCountAndTrailingBytes) {
  std::vector<GroupMember> members{Previous()};
  ASSERT_TRUE(DecodeMemberList(Base64Encode(Bytes().i32(0).str()), members));
  EXPECT_TRUE(members.empty());
  // Bytes after the counted entries are not read.
  ASSERT_TRUE(DecodeMemberList(
      Base64Encode(Bytes().i32(1).field(MemberRecord(1, 11, "a")).raw("junk").str()), members));
  EXPECT_EQ(members.size(), 1u);
  // A huge count with no entries fails without allocating for it.
  EXPECT_FALSE(DecodeMemberList(Base64Encode(Bytes().i32(0x7FFFFFFF).str()), members));
  EXPECT_EQ(members.size(), 1u);
}

TEST(MemberEncodingTest, EncodeDecodeRoundTrip) {
  GroupMember m;
  m.group = 123456789;
  m.account = 9876543210;
  m.nickname = "昵称 😀 '\"";
  m.card = "";
  m.sex = 255;
  m.age = -1;
  m.area = "上海";
  m.joinTime = 1;
  m.lastSpeakTime = 2;
  m.level = "传说";
  m.permission = 3;
  m.unfriendly = true;
  m.title = "t";
  m.titleExpiry = 4;
  m.cardChangeable = true;
  GroupMember out;
  ASSERT_TRUE(DecodeGroupMember(EncodeGroupMember(m), out));
  EXPECT_EQ(out, m);
  std::vector<GroupMember> list;
  ASSERT_TRUE(DecodeMemberList(EncodeMemberList({m, m}), list));
  EXPECT_EQ(list, (std::vector<GroupMember>{m, m}));
}

TEST(MemberEncodingTest, OverlongTextIsCutAtACharacterBoundary) {
  GroupMember m;
  m.nickname = std::string(4001, 'a');
  for (int i = 0; i < 3000; ++i) m.nickname += "天";  // 4001 + 6000 GBK bytes
  GroupMember out;
  ASSERT_TRUE(DecodeGroupMember(EncodeGroupMember(m), out));
  // 8000 bytes leave room for 1999 two-byte characters after the 4001 letters.
  EXPECT_EQ(Utf8ToGbk(out.nickname).size(), 7999u);
  EXPECT_TRUE(IsValidUtf8(out.nickname));
}

}  // namespace
}  // namespace bw
