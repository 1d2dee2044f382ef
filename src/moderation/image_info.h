// ImageInfo: the pixel size of an image named in a message's CQ code. The
// default reads the host's image description file
// "<run directory>/data/image/<name>.cqimg" (INI, section "image", keys
// "width"/"height"); a host adapter may answer another way.
//
// Thread-safety: implementations accept calls from any thread.
#pragma once

#include <string>

namespace bw {

struct Robot;

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

class CqImgFileInfo : public ImageInfo {
 public:
  explicit CqImgFileInfo(const Robot& robot) : robot_(robot) {}
  ImageSize imageSize(const std::string& file, const std::string& cqCode) override;

 private:
  const Robot& robot_;
};

}  // namespace bw
