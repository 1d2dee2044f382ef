// Decoders for the host's Base64 byte records (big-endian): anonymous senders
// and group member lists. Input comes from outside the process: the decoders
// never read past the end of their input, whatever it holds.
//
// Texts inside the records are GBK; the decoders return them as UTF-8.
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_api.h"

namespace bw {

struct AnonymousInfo {
  int64_t id = 0;
  std::string name;
  std::string token;  // raw bytes
};

// Standard alphabet, "=" padding; any invalid input gives empty bytes.
std::string Base64Decode(std::string_view text);
std::string Base64Encode(std::string_view bytes);

// False for empty text, fewer than 12 decoded bytes, or a truncated field; `out`
// is only written on success.
bool DecodeAnonymous(std::string_view base64, AnonymousInfo& out);
// The same on the already decoded record bytes.
bool DecodeAnonymousBytes(std::string_view bytes, AnonymousInfo& out);

// Decodes one member record (at least 40 bytes); `out` is only written on success.
bool DecodeGroupMember(std::string_view bytes, GroupMember& out);

// Count, then that many length-prefixed member records. Only when every entry
// decodes does the list replace `members`; on failure `members` is untouched.
// A negative count is a broken record and fails too. Bytes after the last entry
// are ignored.
bool DecodeMemberList(std::string_view base64, std::vector<GroupMember>& members);
// The same on the already decoded list bytes.
bool DecodeMemberListBytes(std::string_view bytes, std::vector<GroupMember>& members);

// The inverse encoders, for hosts that must produce these records and for tests.
// Texts are written as GBK and cut at a character boundary when longer than a
// field holds (65535 bytes; 8000 for member texts, so that an entry fits).
std::string EncodeAnonymous(const AnonymousInfo& info);                 // Base64
std::string EncodeGroupMember(const GroupMember& member);               // record bytes
std::string EncodeMemberList(const std::vector<GroupMember>& members);  // Base64

}  // namespace bw
