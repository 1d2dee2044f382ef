// CQ codes: rich message elements written as "[CQ:type,key=value,...]" inside
// message text, and the escaping of text and values.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bw::cq {

// "&"→"&amp;", "["→"&#91;", "]"→"&#93;", and with `commas` ","→"&#44;".
std::string Escape(std::string_view text, bool commas = true);
// The reverse: "&#91;", "&#93;", "&#44;", then "&amp;".
std::string Unescape(std::string_view text);

// "[CQ:at,qq=<account>]" ("all" for -1), then one blank unless `noBlank`.
std::string At(int64_t account, bool noBlank = false);
std::string Face(int32_t id);
std::string Emoji(int32_t id);
std::string Shake();
std::string Anonymous(bool ignore = false);
std::string Music(int64_t id, std::string_view type = "", bool style = false);
std::string CustomMusic(std::string_view url, std::string_view audio, std::string_view title = "",
                        std::string_view content = "", std::string_view image = "");
std::string Contact(std::string_view type, int64_t id);
std::string Share(std::string_view url, std::string_view title = "", std::string_view content = "",
                  std::string_view image = "");
std::string Location(double latitude, double longitude, int32_t zoom, std::string_view title,
                     std::string_view content);
std::string Image(std::string_view file);
std::string Record(std::string_view file);

}  // namespace bw::cq
