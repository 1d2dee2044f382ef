#include "host/cq_code.h"

#include <gtest/gtest.h>

namespace bw::cq {
namespace {

TEST(CqCodeTest, AtCodeWithAndWithoutBlank) {
  EXPECT_EQ(At(10001), "[CQ:at,qq=10001] ");
  EXPECT_EQ(At(10001, true), "[CQ:at,qq=10001]");
  EXPECT_EQ(At(-1), "[CQ:at,qq=all] ");
  EXPECT_EQ(At(-1, true), "[CQ:at,qq=all]");
  EXPECT_EQ(At(9876543210123), "[CQ:at,qq=9876543210123] ");
}

TEST(CqCodeTest, SimpleCodes) {
  EXPECT_EQ(Face(14), "[CQ:face,id=14]");
  EXPECT_EQ(Face(-3), "[CQ:face,id=-3]");
  EXPECT_EQ(Emoji(128512), "[CQ:emoji,id=128512]");
  EXPECT_EQ(Shake(), "[CQ:shake]");
  EXPECT_EQ(Anonymous(), "[CQ:anonymous]");
  EXPECT_EQ(Anonymous(true), "[CQ:anonymous,ignore=true]");
}

TEST(CqCodeTest, MusicDefaultsToQqAndEscapesType) {
  EXPECT_EQ(Music(123), "[CQ:music,id=123,type=qq]");
  EXPECT_EQ(Music(123, "163"), "[CQ:music,id=123,type=163]");
  EXPECT_EQ(Music(123, "xm", true), "[CQ:music,id=123,type=xm,style=1]");
  EXPECT_EQ(Music(1, "a,b]"), "[CQ:music,id=1,type=a&#44;b&#93;]");
}

TEST(CqCodeTest, CustomMusicAndShareLeaveOutEmptyParts) {
  EXPECT_EQ(CustomMusic("http://u/?a=1&b=2", "http://a.mp3"),
            "[CQ:music,type=custom,url=http://u/?a=1&amp;b=2,audio=http://a.mp3]");
  EXPECT_EQ(CustomMusic("u", "a", "歌名", "", "i.png"),
            "[CQ:music,type=custom,url=u,audio=a,title=歌名,image=i.png]");
  EXPECT_EQ(CustomMusic("", "", "t", "c, d", "i"),
            "[CQ:music,type=custom,url=,audio=,title=t,content=c&#44; d,image=i]");
  EXPECT_EQ(Share("http://s"), "[CQ:share,url=http://s]");
  EXPECT_EQ(Share("http://s", "[标题]", "内容", ""),
            "[CQ:share,url=http://s,title=&#91;标题&#93;,content=内容]");
  EXPECT_EQ(Share("u", "", "", "img"), "[CQ:share,url=u,image=img]");
}

TEST(CqCodeTest, ContactLocationImageRecord) {
  EXPECT_EQ(Contact("qq", 10001), "[CQ:contact,type=qq,id=10001]");
  EXPECT_EQ(Contact("group", 100), "[CQ:contact,type=group,id=100]");
  EXPECT_EQ(Location(39.9042, 116.4074, 15, "天安门", "北京,东城"),
            "[CQ:location,lat=39.9042,lon=116.4074,zoom=15,title=天安门,content=北京&#44;东城]");
  EXPECT_EQ(Location(-33.5, 0, 0, "", ""), "[CQ:location,lat=-33.5,lon=0,title=,content=]");
  EXPECT_EQ(Location(1.25, 2, -1, "t", "c"), "[CQ:location,lat=1.25,lon=2,title=t,content=c]");
  EXPECT_EQ(Image("a,b.jpg"), "[CQ:image,file=a&#44;b.jpg]");
  EXPECT_EQ(Record("voice/[1].amr"), "[CQ:record,file=voice/&#91;1&#93;.amr]");
}

TEST(EscapeTest, EscapesInOrderWithOptionalCommas) {
  EXPECT_EQ(Escape("a&b[c]d,e"), "a&amp;b&#91;c&#93;d&#44;e");
  EXPECT_EQ(Escape("a&b[c]d,e", false), "a&amp;b&#91;c&#93;d,e");
  // "&" is escaped first, so the "&" of the new entities is not escaped again.
  EXPECT_EQ(Escape("[&]"), "&#91;&amp;&#93;");
  EXPECT_EQ(Escape("&#91;"), "&amp;#91;");
  EXPECT_EQ(Escape(""), "");
}

TEST(EscapeTest, UnescapeReversesEveryEntityOnce) {
  EXPECT_EQ(Unescape("&#91;CQ:at,qq=1&#93;&#44;&amp;"), "[CQ:at,qq=1],&");
  EXPECT_EQ(Unescape("&amp;#91;"), "&#91;");
  EXPECT_EQ(Unescape("&amp;amp;"), "&amp;");
  // Case-sensitive, unknown entities stay.
  EXPECT_EQ(Unescape("&AMP;&#x5b;&#92;"), "&AMP;&#x5b;&#92;");
}

TEST(EscapeTest, RoundTripsGiveBackTheText) {
  for (const std::string& text :
       {std::string("plain"), std::string("[CQ:image,file=a.jpg]"), std::string("&#91;已转义&#93;"),
        std::string("&amp;&#44;,,&&[[]]"), std::string("&"), std::string("&#"),
        std::string("a&#91"), std::string("")}) {
    EXPECT_EQ(Unescape(Escape(text)), text) << text;
    EXPECT_EQ(Unescape(Escape(text, false)), text) << text;
  }
}

}  // namespace
}  // namespace bw::cq
