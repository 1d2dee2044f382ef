#include "onebot/json_fields.h"

#include <charconv>

#include "web/json_nesting.h"

namespace bw::onebot {
namespace {

const Json* Find(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(std::string(key));
  return it == object.end() ? nullptr : &*it;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code unit of a "\uXXXX" escape starting at `at`, or -1.
int32_t EscapedUnit(std::string_view text, size_t at) {
  if (at + 6 > text.size() || text[at] != '\\' || text[at + 1] != 'u') return -1;
  int32_t unit = 0;
  for (size_t i = at + 2; i < at + 6; ++i) {
    const int h = HexValue(text[i]);
    if (h < 0) return -1;
    unit = unit * 16 + h;
  }
  return unit;
}

bool IsHighSurrogate(int32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(int32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::string ReplaceLoneSurrogates(std::string_view text) {
  std::string out;
  size_t copied = 0;  // text before this is in `out` (only once something was replaced)
  bool changed = false;
  for (size_t i = text.find('\\'); i != std::string_view::npos; i = text.find('\\', i)) {
    const int32_t unit = EscapedUnit(text, i);
    if (unit < 0) {
      i += 2;  // any other escape, "\\" included, is two characters
      continue;
    }
    if (IsHighSurrogate(unit) && IsLowSurrogate(EscapedUnit(text, i + 6))) {
      i += 12;
      continue;
    }
    if (!IsHighSurrogate(unit) && !IsLowSurrogate(unit)) {
      i += 6;
      continue;
    }
    if (!changed) out.reserve(text.size());
    changed = true;
    out.append(text.substr(copied, i - copied));
    out.append("\\ufffd");
    i += 6;
    copied = i;
  }
  if (!changed) return std::string(text);
  out.append(text.substr(copied));
  return out;
}

std::optional<int64_t> IntField(const Json& object, std::string_view key) {
  const Json* v = Find(object, key);
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) {
    const uint64_t u = v->get<uint64_t>();
    if (u > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<int64_t>(u);
  }
  if (v->is_number_integer()) return v->get<int64_t>();
  if (v->is_string()) {
    const std::string& s = v->get_ref<const std::string&>();
    int64_t out = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
    if (ec == std::errc() && end == s.data() + s.size() && !s.empty()) return out;
  }
  return std::nullopt;
}

std::string TextField(const Json& object, std::string_view key) {
  const Json* v = Find(object, key);
  if (!v) return {};
  if (v->is_string()) return v->get<std::string>();
  if (v->is_number_integer() || v->is_number_unsigned()) return v->dump();
  return {};
}

bool BoolField(const Json& object, std::string_view key, bool fallback) {
  const Json* v = Find(object, key);
  if (!v) return fallback;
  if (v->is_boolean()) return v->get<bool>();
  if (v->is_number_integer() || v->is_number_unsigned()) return v->get<int64_t>() != 0;
  if (v->is_string()) {
    const std::string& s = v->get_ref<const std::string&>();
    if (s == "true" || s == "1") return true;
    if (s == "false" || s == "0") return false;
  }
  return fallback;
}

ParsedFrame ParseFrame(std::string_view text) {
  ParsedFrame frame;
  if (!JsonNestingWithin(text, kMaxJsonNesting)) {
    frame.value = Json(Json::value_t::discarded);
    frame.tooDeep = true;
    return frame;
  }
  frame.value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (frame.value.is_discarded() && text.find("\\u") != std::string_view::npos) {
    // Some implementations pass on a half of a UTF-16 pair ("\ud800") that the
    // parser refuses; the text around it must still reach the rules.
    const std::string mended = ReplaceLoneSurrogates(text);
    if (mended != text) frame.value = Json::parse(mended, nullptr, /*allow_exceptions=*/false);
  }
  return frame;
}

std::string Excerpt(std::string_view text) {
  constexpr size_t kMax = 200;
  if (text.size() <= kMax) return std::string(text);
  size_t cut = kMax;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

}  // namespace bw::onebot
