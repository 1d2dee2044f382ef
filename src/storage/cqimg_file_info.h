// CqImgFileInfo: image sizes from the legacy host's description files
// "<run directory>/data/image/<name>.cqimg" (INI, section "image", keys
// "width"/"height").
//
// Thread-safety: imageSize may be called from any thread.
#pragma once

#include <string>

#include "host/identity.h"
#include "host/image_info.h"

namespace bw {

class CqImgFileInfo : public ImageInfo {
 public:
  explicit CqImgFileInfo(const Identity& identity) : identity_(identity) {}
  ImageSize imageSize(const std::string& file, const std::string& cqCode) override;

 private:
  const Identity& identity_;
};

}  // namespace bw
