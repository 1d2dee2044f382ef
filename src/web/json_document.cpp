#include "web/json_document.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "util/log.h"
#include "web/json_nesting.h"

namespace bw {

namespace {

using Json = nlohmann::json;

bool IsIdentifierChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

// Rewrites an object or array literal of the script language as JSON:
// single-quoted strings become double-quoted, bare member names are quoted,
// trailing commas and comments go. JSON text passes through unchanged.
std::string ScriptLiteralToJson(std::string_view in) {
  std::string out;
  out.reserve(in.size() + 16);
  size_t i = 0;
  auto lastSignificant = [&out]() -> char {
    for (size_t k = out.size(); k > 0; --k) {
      char c = out[k - 1];
      if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return c;
    }
    return '\0';
  };
  while (i < in.size()) {
    char c = in[i];
    if (c == '"' || c == '\'') {
      const char quote = c;
      out += '"';
      for (++i; i < in.size() && in[i] != quote; ++i) {
        if (in[i] == '\\' && i + 1 < in.size()) {
          // \' is no JSON escape; every other escape stays as written.
          if (in[i + 1] == '\'') {
            out += '\'';
          } else {
            out += in[i];
            out += in[i + 1];
          }
          ++i;
        } else if (in[i] == '"') {
          out += "\\\"";
        } else {
          out += in[i];
        }
      }
      out += '"';
      ++i;
    } else if (c == '/' && i + 1 < in.size() && in[i + 1] == '/') {
      while (i < in.size() && in[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < in.size() && in[i + 1] == '*') {
      size_t end = in.find("*/", i + 2);
      i = end == std::string_view::npos ? in.size() : end + 2;
    } else if (c == '}' || c == ']') {
      // Drop a trailing comma before the closing bracket.
      size_t k = out.size();
      while (k > 0 && (out[k - 1] == ' ' || out[k - 1] == '\t' || out[k - 1] == '\r' ||
                       out[k - 1] == '\n')) {
        --k;
      }
      if (k > 0 && out[k - 1] == ',') out.erase(k - 1, 1);
      out += c;
      ++i;
    } else if (IsIdentifierChar(c) && !(c >= '0' && c <= '9') &&
               (lastSignificant() == '{' || lastSignificant() == ',')) {
      size_t start = i;
      while (i < in.size() && IsIdentifierChar(in[i])) ++i;
      std::string_view word = in.substr(start, i - start);
      size_t j = i;
      while (j < in.size() && (in[j] == ' ' || in[j] == '\t' || in[j] == '\r' || in[j] == '\n')) {
        ++j;
      }
      if (j < in.size() && in[j] == ':') {
        out += '"';
        out += word;
        out += '"';
      } else {
        out += word;  // true, false, null inside an array
      }
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

// Follows a path in script member syntax; nullptr when it leads nowhere.
const Json* Resolve(const Json& root, std::string_view path) {
  const Json* at = &root;
  size_t i = 0;
  bool expectName = path.empty() || path[0] != '[';
  if (path.empty()) return at;
  while (i < path.size()) {
    if (path[i] == '[') {
      size_t close = path.find(']', i);
      if (close == std::string_view::npos || close == i + 1) return nullptr;
      uint64_t index = 0;
      for (size_t k = i + 1; k < close; ++k) {
        if (path[k] < '0' || path[k] > '9' || index > (1ull << 40)) return nullptr;
        index = index * 10 + static_cast<uint64_t>(path[k] - '0');
      }
      if (!at->is_array() || index >= at->size()) return nullptr;
      at = &(*at)[static_cast<size_t>(index)];
      i = close + 1;
      expectName = false;
    } else {
      if (path[i] == '.') {
        if (expectName) return nullptr;  // leading or doubled "."
        ++i;
      } else if (!expectName) {
        return nullptr;  // "a[0]b"
      }
      size_t end = path.find_first_of(".[", i);
      if (end == std::string_view::npos) end = path.size();
      if (end == i) return nullptr;
      if (!at->is_object()) return nullptr;
      auto found = at->find(std::string(path.substr(i, end - i)));
      if (found == at->end()) return nullptr;
      at = &*found;
      i = end;
      expectName = false;
    }
  }
  return at;
}

}  // namespace

struct JsonDocument::Impl {
  std::optional<Json> root;
};

JsonDocument::JsonDocument() : impl_(std::make_unique<Impl>()) {}
JsonDocument::~JsonDocument() = default;
JsonDocument::JsonDocument(JsonDocument&&) noexcept = default;
JsonDocument& JsonDocument::operator=(JsonDocument&&) noexcept = default;

bool JsonDocument::parse(std::string_view text) {
  impl_->root.reset();
  // A hostile answer nested beyond reason would overflow the stack when read.
  if (!JsonNestingWithin(text)) {
    LogWarning("JSON nested more than " + std::to_string(kMaxJsonNesting) +
               " levels deep ignored (" + std::to_string(text.size()) + " bytes)");
    return false;
  }
  Json value = Json::parse(text, nullptr, false, true);
  if (value.is_discarded()) {
    const std::string rewritten = ScriptLiteralToJson(text);
    if (!JsonNestingWithin(rewritten)) return false;
    value = Json::parse(rewritten, nullptr, false, true);
  }
  if (value.is_discarded() || value.is_null()) return false;
  impl_->root = std::move(value);
  return true;
}

void JsonDocument::clear() { impl_->root.reset(); }

bool JsonDocument::empty() const { return !impl_->root.has_value(); }

size_t JsonDocument::count(std::string_view path) const {
  if (!impl_->root) return 0;
  const Json* value = Resolve(*impl_->root, path);
  if (value == nullptr || !(value->is_array() || value->is_object())) return 0;
  return value->size();
}

std::string JsonDocument::getText(std::string_view path) const {
  if (!impl_->root) return {};
  const Json* value = Resolve(*impl_->root, path);
  if (value == nullptr || value->is_null()) return {};
  if (value->is_string()) return value->get<std::string>();
  if (value->is_number_unsigned()) return std::to_string(value->get<uint64_t>());
  if (value->is_number_integer()) return std::to_string(value->get<int64_t>());
  if (value->is_number_float()) {
    const double d = std::trunc(value->get<double>());
    if (d >= 9.2233720368547758e18) return std::to_string(std::numeric_limits<int64_t>::max());
    if (d <= -9.2233720368547758e18) return std::to_string(std::numeric_limits<int64_t>::min());
    return std::to_string(static_cast<int64_t>(d));
  }
  if (value->is_boolean()) return value->get<bool>() ? "true" : "false";
  return value->dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool JsonDocument::has(std::string_view path) const {
  return impl_->root && Resolve(*impl_->root, path) != nullptr;
}

}  // namespace bw
