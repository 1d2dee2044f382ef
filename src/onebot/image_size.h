// Image sizes for the oversized-image check. OneBot implementations give no
// image description files, only the image's url, so the size is read from the
// first bytes of the image itself: PNG, JPEG, GIF and WebP headers carry it.
//
// Thread-safety: ProbeImageSize and FetchImageSize are pure/re-entrant;
// UrlImageInfo may be called from any thread (its cache is locked).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "host/image_info.h"
#include "util/clock.h"

namespace bw {
class Settings;
}

namespace bw::onebot {

struct PixelSize {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const PixelSize&) const = default;
};

enum class ImageProbe { kFound, kNeedMore, kNotAnImage };

// Reads the size from the leading bytes of an image file. kNeedMore when the
// bytes begin like a known format but end before its size.
ImageProbe ProbeImageSize(std::string_view bytes, PixelSize& size);

// The fetch runs on the group-message worker, and the url comes with a chat
// message: it is bounded in what it reads and in how long it takes.
struct FetchOptions {
  // At most this many bytes of the body are read: the leading bytes of an image
  // hold its size; JPEG may put it after EXIF/ICC blocks of up to 64 KiB each.
  size_t maxBytes = 256 * 1024;
  Millis timeout{5000};  // the whole request, connection and redirects included
};

// GET of http(s) `url` (only http:// and https://, also after a redirect;
// at most 3 redirects), asking for the first maxBytes bytes and stopped as
// soon as the size is known, after maxBytes bytes or at the time-out, whichever
// comes first. Other schemes, failures and unknown formats give nullopt
// (logged). `received`, when given, is set to the body bytes read.
std::optional<PixelSize> FetchImageSize(const std::string& url, const FetchOptions& options = {},
                                        size_t* received = nullptr);

// The url of a CQ image code ("[CQ:image,file=…,url=…]"), unescaped; "" if none.
std::string ImageUrlOf(std::string_view cqCode);

// ImageInfo over the image url, only while 选择框_踢图片大小 is ticked, with the
// sizes remembered by file name.
class UrlImageInfo : public ImageInfo {
 public:
  explicit UrlImageInfo(const Settings& settings, FetchOptions options = {});
  ImageSize imageSize(const std::string& file, const std::string& cqCode) override;
  size_t fetches() const;  // network reads so far (tests check the cache)

 private:
  const Settings& settings_;
  const FetchOptions options_;
  mutable std::mutex mu_;
  std::map<std::string, PixelSize> cache_;
  size_t fetches_ = 0;
};

}  // namespace bw::onebot
