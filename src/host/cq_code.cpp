#include "host/cq_code.h"

#include <charconv>

#include "util/text.h"

namespace bw::cq {
namespace {

// Shortest decimal text that reads back as the same double ("39.9042", "-0.5").
std::string RealText(double value) {
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, result.ptr);
}

// ",key=value" with the value escaped, left out when the value is empty.
void AppendOptional(std::string& out, std::string_view key, std::string_view value) {
  if (value.empty()) return;
  out += ',';
  out += key;
  out += '=';
  out += Escape(value);
}

}  // namespace

std::string Escape(std::string_view text, bool commas) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '[':
        out += "&#91;";
        break;
      case ']':
        out += "&#93;";
        break;
      case ',':
        if (commas) {
          out += "&#44;";
        } else {
          out += c;
        }
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string Unescape(std::string_view text) {
  // "&amp;" goes last, so an escaped "&#91;" ("&amp;#91;") comes back as "&#91;".
  std::string out = ReplaceAll(text, "&#91;", "[");
  out = ReplaceAll(out, "&#93;", "]");
  out = ReplaceAll(out, "&#44;", ",");
  return ReplaceAll(out, "&amp;", "&");
}

std::string At(int64_t account, bool noBlank) {
  std::string out = "[CQ:at,qq=";
  out += account == -1 ? std::string("all") : std::to_string(account);
  out += ']';
  if (!noBlank) out += ' ';
  return out;
}

std::string Face(int32_t id) { return "[CQ:face,id=" + std::to_string(id) + "]"; }

std::string Emoji(int32_t id) { return "[CQ:emoji,id=" + std::to_string(id) + "]"; }

std::string Shake() { return "[CQ:shake]"; }

std::string Anonymous(bool ignore) {
  return ignore ? "[CQ:anonymous,ignore=true]" : "[CQ:anonymous]";
}

std::string Music(int64_t id, std::string_view type, bool style) {
  std::string out = "[CQ:music,id=" + std::to_string(id) + ",type=";
  out += type.empty() ? std::string("qq") : Escape(type);
  if (style) out += ",style=1";
  out += ']';
  return out;
}

std::string CustomMusic(std::string_view url, std::string_view audio, std::string_view title,
                        std::string_view content, std::string_view image) {
  std::string out = "[CQ:music,type=custom,url=" + Escape(url) + ",audio=" + Escape(audio);
  AppendOptional(out, "title", title);
  AppendOptional(out, "content", content);
  AppendOptional(out, "image", image);
  out += ']';
  return out;
}

std::string Contact(std::string_view type, int64_t id) {
  return "[CQ:contact,type=" + Escape(type) + ",id=" + std::to_string(id) + "]";
}

std::string Share(std::string_view url, std::string_view title, std::string_view content,
                  std::string_view image) {
  std::string out = "[CQ:share,url=" + Escape(url);
  AppendOptional(out, "title", title);
  AppendOptional(out, "content", content);
  AppendOptional(out, "image", image);
  out += ']';
  return out;
}

std::string Location(double latitude, double longitude, int32_t zoom, std::string_view title,
                     std::string_view content) {
  std::string out = "[CQ:location,lat=" + RealText(latitude) + ",lon=" + RealText(longitude);
  if (zoom > 0) out += ",zoom=" + std::to_string(zoom);
  out += ",title=" + Escape(title) + ",content=" + Escape(content) + "]";
  return out;
}

std::string Image(std::string_view file) { return "[CQ:image,file=" + Escape(file) + "]"; }

std::string Record(std::string_view file) { return "[CQ:record,file=" + Escape(file) + "]"; }

}  // namespace bw::cq
