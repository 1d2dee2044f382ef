#include "onebot/image_size.h"

#include <curl/curl.h>

#include <algorithm>

#include "host/cq_code.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "util/log.h"

namespace bw::onebot {
namespace {

uint32_t Be16(std::string_view b, size_t i) {
  return (uint32_t(uint8_t(b[i])) << 8) | uint8_t(b[i + 1]);
}
uint32_t Be32(std::string_view b, size_t i) { return (Be16(b, i) << 16) | Be16(b, i + 2); }
uint32_t Le16(std::string_view b, size_t i) {
  return uint8_t(b[i]) | (uint32_t(uint8_t(b[i + 1])) << 8);
}
uint32_t Le24(std::string_view b, size_t i) {
  return Le16(b, i) | (uint32_t(uint8_t(b[i + 2])) << 16);
}

// True when `bytes` and `prefix` agree on their common length.
bool Begins(std::string_view bytes, std::string_view prefix) {
  const size_t n = std::min(bytes.size(), prefix.size());
  return bytes.substr(0, n) == prefix.substr(0, n);
}

ImageProbe Png(std::string_view b, PixelSize& s) {
  if (b.size() < 24) return ImageProbe::kNeedMore;
  if (b.substr(12, 4) != "IHDR") return ImageProbe::kNotAnImage;
  s = {Be32(b, 16), Be32(b, 20)};
  return ImageProbe::kFound;
}

ImageProbe Gif(std::string_view b, PixelSize& s) {
  if (b.size() < 10) return ImageProbe::kNeedMore;
  s = {Le16(b, 6), Le16(b, 8)};
  return ImageProbe::kFound;
}

ImageProbe Jpeg(std::string_view b, PixelSize& s) {
  size_t i = 2;
  while (true) {
    if (i >= b.size()) return ImageProbe::kNeedMore;
    if (uint8_t(b[i]) != 0xFF) return ImageProbe::kNotAnImage;
    while (i < b.size() && uint8_t(b[i]) == 0xFF) ++i;  // fill bytes
    if (i >= b.size()) return ImageProbe::kNeedMore;
    const uint8_t marker = uint8_t(b[i++]);
    if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    if (marker == 0xD9 || marker == 0xDA) return ImageProbe::kNotAnImage;  // no frame header
    if (i + 2 > b.size()) return ImageProbe::kNeedMore;
    const uint32_t length = Be16(b, i);
    if (length < 2) return ImageProbe::kNotAnImage;
    const bool frame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (i + 7 > b.size()) return ImageProbe::kNeedMore;
      s = {Be16(b, i + 5), Be16(b, i + 3)};
      return ImageProbe::kFound;
    }
    i += length;
  }
}

ImageProbe WebP(std::string_view b, PixelSize& s) {
  if (b.size() < 30) return ImageProbe::kNeedMore;
  if (b.substr(8, 4) != "WEBP") return ImageProbe::kNotAnImage;
  const std::string_view chunk = b.substr(12, 4);
  if (chunk == "VP8X") {
    s = {Le24(b, 24) + 1, Le24(b, 27) + 1};
    return ImageProbe::kFound;
  }
  if (chunk == "VP8 ") {
    if (uint8_t(b[23]) != 0x9D || uint8_t(b[24]) != 0x01 || uint8_t(b[25]) != 0x2A)
      return ImageProbe::kNotAnImage;
    s = {Le16(b, 26) & 0x3FFF, Le16(b, 28) & 0x3FFF};
    return ImageProbe::kFound;
  }
  if (chunk == "VP8L") {
    if (uint8_t(b[20]) != 0x2F) return ImageProbe::kNotAnImage;
    const uint32_t bits = uint8_t(b[21]) | (uint32_t(uint8_t(b[22])) << 8) |
                          (uint32_t(uint8_t(b[23])) << 16) | (uint32_t(uint8_t(b[24])) << 24);
    s = {(bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1};
    return ImageProbe::kFound;
  }
  return ImageProbe::kNotAnImage;
}

struct Download {
  std::string bytes;
  size_t maxBytes = 0;
  PixelSize size;
  ImageProbe probe = ImageProbe::kNeedMore;
};

size_t OnBytes(char* data, size_t one, size_t n, void* user) {
  auto* d = static_cast<Download*>(user);
  // Never past the bound, whatever the server sends.
  d->bytes.append(data, std::min(one * n, d->maxBytes - d->bytes.size()));
  d->probe = ProbeImageSize(d->bytes, d->size);
  if (d->probe != ImageProbe::kNeedMore || d->bytes.size() >= d->maxBytes) return 0;  // enough
  return one * n;
}

void InitCurlOnce() {
  static const bool done = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
  (void)done;
}

}  // namespace

ImageProbe ProbeImageSize(std::string_view b, PixelSize& size) {
  if (b.empty()) return ImageProbe::kNeedMore;
  if (Begins(b, "\x89PNG\r\n\x1A\n")) return b.size() < 8 ? ImageProbe::kNeedMore : Png(b, size);
  if (Begins(b, "GIF87a") || Begins(b, "GIF89a"))
    return b.size() < 6 ? ImageProbe::kNeedMore : Gif(b, size);
  if (Begins(b, "\xFF\xD8\xFF")) return b.size() < 3 ? ImageProbe::kNeedMore : Jpeg(b, size);
  if (Begins(b, "RIFF")) return b.size() < 4 ? ImageProbe::kNeedMore : WebP(b, size);
  return ImageProbe::kNotAnImage;
}

std::optional<PixelSize> FetchImageSize(const std::string& url, const FetchOptions& options,
                                        size_t* received) {
  if (received) *received = 0;
  if (!url.starts_with("http://") && !url.starts_with("https://")) {
    LogWarning("image size: not an http(s) url, not fetched: " + url.substr(0, 100));
    return std::nullopt;
  }
  InitCurlOnce();
  CURL* curl = curl_easy_init();
  if (!curl) return std::nullopt;
  Download d;
  d.maxBytes = std::max<size_t>(options.maxBytes, 1);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 3L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(options.timeout.count()));
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  const std::string range = "0-" + std::to_string(d.maxBytes - 1);
  curl_easy_setopt(curl, CURLOPT_RANGE, range.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBytes);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &d);
  const CURLcode rc = curl_easy_perform(curl);
  curl_easy_cleanup(curl);
  if (received) *received = d.bytes.size();
  if (d.probe == ImageProbe::kFound) return d.size;
  if (rc != CURLE_OK && rc != CURLE_WRITE_ERROR) {
    LogWarning(std::string("image size: cannot read ") + url.substr(0, 100) + ": " +
               curl_easy_strerror(rc));
  } else {
    LogWarning("image size: no PNG, JPEG, GIF or WebP size in " + url.substr(0, 100));
  }
  return std::nullopt;
}

std::string ImageUrlOf(std::string_view cqCode) {
  const size_t at = cqCode.find(",url=");
  if (at == std::string_view::npos) return {};
  const size_t start = at + 5;
  const size_t end = cqCode.find_first_of(",]", start);
  return cq::Unescape(cqCode.substr(start, end == std::string_view::npos ? end : end - start));
}

UrlImageInfo::UrlImageInfo(const Settings& settings, FetchOptions options)
    : settings_(settings), options_(options) {}

ImageSize UrlImageInfo::imageSize(const std::string& file, const std::string& cqCode) {
  if (!settings_.checked(opt::kPunishImageSize)) return {};
  // `file` runs up to the code's "]", so it may hold the url key too.
  const std::string name = file.substr(0, file.find(','));
  {
    std::lock_guard lock(mu_);
    if (auto it = cache_.find(name); it != cache_.end())
      return {std::to_string(it->second.width), std::to_string(it->second.height)};
  }
  std::string url = ImageUrlOf(cqCode);
  if (url.empty()) {
    const std::string plain = cq::Unescape(name);
    if (plain.starts_with("http://") || plain.starts_with("https://")) url = plain;
  }
  if (url.empty()) return {};
  std::optional<PixelSize> size = FetchImageSize(url, options_);
  std::lock_guard lock(mu_);
  ++fetches_;
  if (!size) return {};
  if (cache_.size() >= 4096) cache_.clear();  // bounded; image names rarely repeat for long
  cache_[name] = *size;
  return {std::to_string(size->width), std::to_string(size->height)};
}

size_t UrlImageInfo::fetches() const {
  std::lock_guard lock(mu_);
  return fetches_;
}

}  // namespace bw::onebot
