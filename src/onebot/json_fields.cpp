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

}  // namespace

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
