// The panel's files (HTML, CSS, JavaScript, icons), compiled into the program
// by cmake/embed_assets.cmake so the panel works offline and needs no file at
// run time.
//
// Thread-safety: the table is constant.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace bw::ui {

struct PanelAsset {
  std::string_view path;  // "/index.html"
  std::string_view mime;  // Content-Type
  std::string_view etag;  // quoted, from the content's hash
  const unsigned char* data;
  size_t size;

  std::string_view bytes() const { return {reinterpret_cast<const char*>(data), size}; }
};

std::span<const PanelAsset> PanelAssets();

// The asset at `path`, or null.
const PanelAsset* FindPanelAsset(std::string_view path);

}  // namespace bw::ui
