#include "storage/cqimg_file_info.h"

#include "storage/ini_file.h"
#include "util/files.h"
#include "util/log.h"

namespace bw {

ImageSize CqImgFileInfo::imageSize(const std::string& fileText, const std::string& /*cqCode*/) {
  // Codes of other hosts carry more fields after the name (",url=…").
  const std::string file = fileText.substr(0, fileText.find(','));
  if (file.empty()) return {};
  // The name comes from message text: it must not leave the image directory.
  if (file.find('/') != std::string::npos || file.find('\\') != std::string::npos ||
      file.find("..") != std::string::npos || file.find('\0') != std::string::npos) {
    LogWarning("image name \"" + file + "\" refused: not a plain file name");
    return {};
  }
  const std::string path = JoinPath(identity_.runDirectory(), "data/image/" + file + ".cqimg");
  if (!FileExists(path)) return {};
  return ImageSize{ReadProfileString(path, "image", "width"),
                   ReadProfileString(path, "image", "height")};
}

}  // namespace bw
