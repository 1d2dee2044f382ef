// ImageInfo: the pixel size of an image named in a message's CQ code; each host
// answers its own way (the legacy host's description files: CqImgFileInfo in
// storage; OneBot: the image's URL).
//
// Thread-safety: implementations accept calls from any thread.
#pragma once

#include <string>

namespace bw {

struct ImageSize {
  std::string width;  // as read ("" when unknown → 0)
  std::string height;
};

class ImageInfo {
 public:
  virtual ~ImageInfo() = default;
  // `file` is the text between "image,file=" and "]"; `cqCode` the whole code
  // (a host may need its url). Unknown sizes are empty.
  virtual ImageSize imageSize(const std::string& file, const std::string& cqCode) = 0;
};

}  // namespace bw
