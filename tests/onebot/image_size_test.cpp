// Image sizes from the leading bytes of PNG, JPEG, GIF and WebP files, fetched
// from an image url served on 127.0.0.1.
#include "onebot/image_size.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "settings/settings_model.h"

namespace bw::onebot {
namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}
std::string Be32(uint32_t v) {
  return Bytes({int(v >> 24), int(v >> 16 & 255), int(v >> 8 & 255), int(v & 255)});
}
std::string Be16(uint32_t v) { return Bytes({int(v >> 8 & 255), int(v & 255)}); }
std::string Le16(uint32_t v) { return Bytes({int(v & 255), int(v >> 8 & 255)}); }
std::string Le24(uint32_t v) {
  return Bytes({int(v & 255), int(v >> 8 & 255), int(v >> 16 & 255)});
}

std::string Png(uint32_t w, uint32_t h) {
  return std::string("\x89PNG\r\n\x1A\n", 8) + Be32(13) + "IHDR" + Be32(w) + Be32(h) +
         Bytes({8, 6, 0, 0, 0}) + "crc!";
}
std::string Gif(uint32_t w, uint32_t h) {
  return "GIF89a" + Le16(w) + Le16(h) + Bytes({0xF7, 0, 0});
}
// SOI, an APP1 (EXIF) block of `exifBytes`, a DQT, then the SOF0 frame header.
std::string Jpeg(uint32_t w, uint32_t h, size_t exifBytes = 16, int sof = 0xC0) {
  std::string s = Bytes({0xFF, 0xD8});
  s += Bytes({0xFF, 0xE1}) + Be16(exifBytes + 2) + std::string(exifBytes, 'E');
  s += Bytes({0xFF, 0xDB}) + Be16(67) + std::string(65, 'Q');
  s += Bytes({0xFF, 0xFF, sof}) + Be16(17) + Bytes({8}) + Be16(h) + Be16(w) + Bytes({3});
  return s + std::string(20, 'S');
}
std::string Riff(const std::string& chunk, const std::string& body) {
  return "RIFF" + Le24(100) + Bytes({0}) + "WEBP" + chunk + Le24(body.size()) + Bytes({0}) + body;
}
std::string WebPLossy(uint32_t w, uint32_t h) {
  return Riff("VP8 ", Bytes({0x10, 0x02, 0x00, 0x9D, 0x01, 0x2A}) + Le16(w) + Le16(h) + "data");
}
std::string WebPLossless(uint32_t w, uint32_t h) {
  const uint32_t bits = (w - 1) | ((h - 1) << 14);
  return Riff("VP8L", Bytes({0x2F, int(bits & 255), int(bits >> 8 & 255), int(bits >> 16 & 255),
                             int(bits >> 24 & 255)}) +
                          "datadata");
}
std::string WebPExtended(uint32_t w, uint32_t h) {
  return Riff("VP8X", Bytes({0x10, 0, 0, 0}) + Le24(w - 1) + Le24(h - 1) + "more");
}

TEST(ProbeImageSize, ReadsEachFormat) {
  struct Case {
    const char* name;
    std::string bytes;
    PixelSize size;
  } cases[] = {
      {"png", Png(1920, 1080), {1920, 1080}},
      {"gif", Gif(320, 240), {320, 240}},
      {"jpeg", Jpeg(4000, 3000), {4000, 3000}},
      {"progressive jpeg", Jpeg(640, 480, 16, 0xC2), {640, 480}},
      {"jpeg with a large exif block", Jpeg(800, 600, 60000), {800, 600}},
      {"webp lossy", WebPLossy(1024, 768), {1024, 768}},
      {"webp lossless", WebPLossless(16383, 1), {16383, 1}},
      {"webp extended", WebPExtended(5000, 7000), {5000, 7000}},
  };
  for (const Case& c : cases) {
    PixelSize size;
    EXPECT_EQ(ProbeImageSize(c.bytes, size), ImageProbe::kFound) << c.name;
    EXPECT_EQ(size, c.size) << c.name;
    // Every cut before the size is known asks for more bytes, never guesses.
    PixelSize partial;
    for (size_t n = 0; n < 10; ++n)
      EXPECT_EQ(ProbeImageSize(std::string_view(c.bytes).substr(0, n), partial),
                ImageProbe::kNeedMore)
          << c.name << " cut at " << n;
  }
}

TEST(ProbeImageSize, RefusesWhatIsNoKnownImage) {
  PixelSize size;
  for (const std::string& bytes :
       {std::string("<html><body>404</body></html>"), std::string("BM\x36\x00\x00\x00", 6),
        std::string("\x89PNG\r\n\x1A\n", 8) + Be32(13) + "tEXt" + std::string(12, 'x'),
        Riff("VP9 ", std::string(20, 'x')),
        "RIFF" + Le24(1) + Bytes({0}) + "WAVE" + std::string(20, 'x'),
        Bytes({0xFF, 0xD8, 0xFF, 0xDA}) + std::string(30, 'x'),  // scan before any frame
        Bytes({0xFF, 0xD8, 0x00, 0x00}) + std::string(30, 'x'),  // no marker
        Bytes({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01}) + std::string(30, 'x')}) {  // length < 2
    EXPECT_EQ(ProbeImageSize(bytes, size), ImageProbe::kNotAnImage);
  }
  // A JPEG segment length running past the end asks for more, not out of bounds.
  EXPECT_EQ(ProbeImageSize(Bytes({0xFF, 0xD8, 0xFF, 0xE1, 0xFF, 0xFF, 1, 2}), size),
            ImageProbe::kNeedMore);
}

TEST(ImageUrlOf, PicksAndUnescapesTheUrl) {
  EXPECT_EQ(ImageUrlOf("[CQ:image,file=a.jpg,url=http://h/x?a=1&amp;b=2&#44;3]"),
            "http://h/x?a=1&b=2,3");
  EXPECT_EQ(ImageUrlOf("[CQ:image,file=a.jpg,url=http://h/y,sub=1]"), "http://h/y");
  EXPECT_EQ(ImageUrlOf("[CQ:image,file=a.jpg]"), "");
}

class ImageServer {
 public:
  ImageServer() {
    server_.Get(R"(/img/(.+))", [this](const httplib::Request& req, httplib::Response& res) {
      ++requests;
      const std::string name = req.matches[1];
      if (name == "big.png") return res.set_content(Png(3000, 2000), "image/png");
      if (name == "small.gif") return res.set_content(Gif(100, 80), "image/gif");
      if (name == "huge.jpg")
        return res.set_content(Jpeg(5000, 4000, 60000) + std::string(2 << 20, 'x'), "image/jpeg");
      if (name == "page.html") return res.set_content("<html></html>", "text/html");
      res.status = 404;
    });
    server_.Get("/moved", [](const httplib::Request&, httplib::Response& res) {
      res.status = 302;
      res.set_header("Location", "file:///etc/passwd");
    });
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
  }
  ~ImageServer() {
    server_.stop();
    thread_.join();
  }
  std::string url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/img/" + name;
  }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::atomic<int> requests{0};

 private:
  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
};

TEST(FetchImageSize, ReadsOnlyTheHeadOfTheImage) {
  ImageServer server;
  EXPECT_EQ(FetchImageSize(server.url("big.png")), (PixelSize{3000, 2000}));
  EXPECT_EQ(FetchImageSize(server.url("huge.jpg")), (PixelSize{5000, 4000}));
  EXPECT_FALSE(FetchImageSize(server.url("page.html")));
  EXPECT_FALSE(FetchImageSize(server.url("missing.png")));
  EXPECT_FALSE(FetchImageSize(server.base() + "/moved"));  // no redirect to file://
  EXPECT_FALSE(FetchImageSize("file:///etc/passwd"));
  EXPECT_FALSE(FetchImageSize("ftp://127.0.0.1/x.png"));
}

// One connection on 127.0.0.1 that either never answers or answers with an
// endless JPEG whose size never comes (segment after segment), counting what
// it could send.
class HostileServer {
 public:
  enum class Kind { kSilent, kEndlessJpeg };
  explicit HostileServer(Kind kind) : kind_(kind) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~HostileServer() {
    stop_.store(true);
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/img.jpg"; }

 private:
  void serve() {
    const int c = ::accept(listener_, nullptr, nullptr);
    if (c < 0) return;
    char request[4096];
    (void)::recv(c, request, sizeof request, 0);
    if (kind_ == Kind::kEndlessJpeg) {
      // No length and no range support: only the client can end it.
      std::string head = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nConnection: close\r\n\r\n";
      head += std::string("\xFF\xD8", 2);
      std::string segment = std::string("\xFF\xE1\xFF\xFF", 4) + std::string(65533, 'E');
      bool ok = ::send(c, head.data(), head.size(), MSG_NOSIGNAL) > 0;
      while (ok && !stop_.load()) ok = ::send(c, segment.data(), segment.size(), MSG_NOSIGNAL) > 0;
    } else {
      while (!stop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::close(c);
  }

  Kind kind_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(FetchImageSize, ReadsNoMoreThanItsBoundAndGivesUpAtItsTimeOut) {
  using Clock = std::chrono::steady_clock;
  {
    HostileServer server(HostileServer::Kind::kEndlessJpeg);
    FetchOptions options;
    options.maxBytes = 100 * 1000;
    options.timeout = Millis(20000);
    size_t received = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(FetchImageSize(server.url(), options, &received));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));  // the bound ended it
    EXPECT_EQ(received, options.maxBytes);
  }
  {
    HostileServer server(HostileServer::Kind::kSilent);
    FetchOptions options;
    options.timeout = Millis(300);
    const auto start = Clock::now();
    EXPECT_FALSE(FetchImageSize(server.url(), options));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::seconds(3));
  }
}

TEST(UrlImageInfo, MeasuresOnlyWhileTheSizeCheckIsOnAndRemembersByFileName) {
  ImageServer server;
  Settings settings;
  UrlImageInfo info(settings);
  const std::string code = "[CQ:image,file=ABC.png,url=" + server.url("big.png") + "]";
  const std::string file = "ABC.png,url=" + server.url("big.png");  // as cut by the check
  ASSERT_TRUE(settings.setChecked("选择框_踢图片大小", false));
  EXPECT_EQ(info.imageSize(file, code).width, "");
  EXPECT_EQ(server.requests.load(), 0);
  ASSERT_TRUE(settings.setChecked("选择框_踢图片大小", true));
  ImageSize s = info.imageSize(file, code);
  EXPECT_EQ(s.width, "3000");
  EXPECT_EQ(s.height, "2000");
  s = info.imageSize(file, code);
  EXPECT_EQ(s.width, "3000");
  EXPECT_EQ(server.requests.load(), 1);  // the second answer came from the cache
  // Without a url a plain file name cannot be measured; a file that is a url can.
  EXPECT_EQ(info.imageSize("XYZ.jpg", "[CQ:image,file=XYZ.jpg]").width, "");
  s = info.imageSize(server.url("small.gif"), "[CQ:image,file=" + server.url("small.gif") + "]");
  EXPECT_EQ(s.width, "100");
  EXPECT_EQ(s.height, "80");
}

}  // namespace
}  // namespace bw::onebot
