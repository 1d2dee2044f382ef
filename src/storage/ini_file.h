// INI files with the profile-string semantics the settings files were written
// with: sections "[name]", "key=value" lines, one value per key, no quoting,
// keys and sections compared without ASCII case, values read up to 10,239
// bytes. Files may be UTF-8 or GBK; they are written in the platform's file
// encoding, through a temporary file and a rename.
//
// Thread-safety: calls on one path are serialised inside this module.
#pragma once

#include <string>

#include "util/status.h"

namespace bw {

inline constexpr size_t kProfileValueMax = 10239;

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& fallback = "");
Status WriteProfileString(const std::string& file, const std::string& section,
                          const std::string& key, const std::string& value);

}  // namespace bw
