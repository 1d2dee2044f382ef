// JsonDocument: one parsed JSON value read by paths in script member syntax:
// names joined by ".", array elements as "[" index "]" (0 first), e.g.
// "create[0].gc"; a path starting with "[" indexes the root; "" is the root.
//
// Thread-safety: one thread at a time per object.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace bw {

class JsonDocument {
 public:
  JsonDocument();
  ~JsonDocument();
  JsonDocument(JsonDocument&&) noexcept;
  JsonDocument& operator=(JsonDocument&&) noexcept;

  // True when the text held a non-null value; otherwise the document is empty.
  // Lenient: JSON, and object/array literals of the script language (single
  // quotes, unquoted member names, trailing commas, comments).
  bool parse(std::string_view text);
  void clear();
  bool empty() const;

  // Elements of the array or members of the object at the path; 0 otherwise.
  size_t count(std::string_view path) const;
  // The value as text: a number as decimal integer text (64-bit, fractions cut
  // off), a string as itself, true/false, an object or array as JSON text;
  // empty when the path leads nowhere or to null.
  std::string getText(std::string_view path) const;
  bool has(std::string_view path) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bw
