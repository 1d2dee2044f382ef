#include "host/host_records.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "util/charset.h"
#include "util/log.h"

namespace bw {
namespace {

constexpr size_t kMinAnonymousBytes = 12;
constexpr size_t kMinMemberBytes = 40;
constexpr size_t kMaxFieldBytes = 0xFFFF;
// A member entry is itself a length-prefixed field, so its six texts together
// must stay below 64 KiB.
constexpr size_t kMaxMemberTextBytes = 8000;

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> table{};
  for (auto& v : table) v = -1;
  for (size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  }
  return table;
}
constexpr std::array<int8_t, 256> kDecodeTable = MakeDecodeTable();

// Big-endian field reader over a byte range; every read checks the bytes left,
// and after the first failed read all further reads fail too.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  bool ok() const { return ok_; }
  size_t left() const { return bytes_.size() - pos_; }

  uint64_t unsignedValue(size_t width) {
    if (!ok_ || left() < width) {
      ok_ = false;
      return 0;
    }
    uint64_t v = 0;
    for (size_t i = 0; i < width; ++i) v = (v << 8) | static_cast<unsigned char>(bytes_[pos_ + i]);
    pos_ += width;
    return v;
  }
  int32_t int32() { return static_cast<int32_t>(static_cast<uint32_t>(unsignedValue(4))); }
  int64_t int64() { return static_cast<int64_t>(unsignedValue(8)); }
  bool boolean() { return int32() == 1; }

  // A length-prefixed field. The length is read as an unsigned 16-bit count.
  std::string_view bytes() {
    const size_t n = static_cast<size_t>(unsignedValue(2));
    if (!ok_ || left() < n) {
      ok_ = false;
      return {};
    }
    std::string_view field = bytes_.substr(pos_, n);
    pos_ += n;
    return field;
  }
  std::string text() { return GbkToUtf8(bytes()); }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
  bool ok_ = true;
};

class Writer {
 public:
  void integer(uint64_t v, size_t width) {
    for (size_t i = width; i-- > 0;) out_ += static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  void int32(int32_t v) { integer(static_cast<uint32_t>(v), 4); }
  void int64(int64_t v) { integer(static_cast<uint64_t>(v), 8); }
  void boolean(bool v) { int32(v ? 1 : 0); }
  void bytes(std::string_view b) {
    integer(b.size(), 2);
    out_.append(b);
  }
  void text(std::string_view utf8, size_t max = kMaxFieldBytes) {
    const std::string gbk = Utf8ToGbk(utf8);
    bytes(std::string_view(gbk).substr(0, GbkCut(gbk, max)));
  }
  std::string& str() { return out_; }

 private:
  // The longest prefix length of GB18030 bytes, at most `max`, that ends on a
  // character boundary.
  static size_t GbkCut(std::string_view gbk, size_t max) {
    if (gbk.size() <= max) return gbk.size();
    size_t i = 0;
    while (i < gbk.size()) {
      const auto b = static_cast<unsigned char>(gbk[i]);
      size_t len = 1;
      if (b >= 0x81 && b <= 0xFE && i + 1 < gbk.size()) {
        const auto b1 = static_cast<unsigned char>(gbk[i + 1]);
        len = (b1 >= 0x30 && b1 <= 0x39) ? 4 : 2;
      }
      if (i + len > max) break;
      i += len;
    }
    return i;
  }

  std::string out_;
};

}  // namespace

std::string Base64Decode(std::string_view text) {
  size_t end = text.size();
  size_t padding = 0;
  while (end > 0 && text[end - 1] == '=' && padding < 2) {
    --end;
    ++padding;
  }
  // Padding, when present, must complete the last group of four.
  if (padding > 0 && text.size() % 4 != 0) return {};
  if (end % 4 == 1) return {};
  std::string out;
  out.reserve(end / 4 * 3 + 2);
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < end; ++i) {
    const int8_t v = kDecodeTable[static_cast<unsigned char>(text[i])];
    if (v < 0) return {};
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool DecodeAnonymousBytes(std::string_view bytes, AnonymousInfo& out) {
  if (bytes.size() < kMinAnonymousBytes) {
    LogWarning("anonymous sender record rejected: " + std::to_string(bytes.size()) +
               " bytes, fewer than 12");
    return false;
  }
  Reader r(bytes);
  AnonymousInfo info;
  info.id = r.int64();
  info.name = r.text();
  info.token = std::string(r.bytes());
  if (!r.ok()) {
    LogWarning("anonymous sender record rejected: a field runs past the end");
    return false;
  }
  out = std::move(info);
  return true;
}

bool DecodeAnonymous(std::string_view base64, AnonymousInfo& out) {
  if (base64.empty()) return false;
  const std::string bytes = Base64Decode(base64);
  if (bytes.empty()) {
    LogWarning("anonymous sender record rejected: not Base64");
    return false;
  }
  return DecodeAnonymousBytes(bytes, out);
}

bool DecodeGroupMember(std::string_view bytes, GroupMember& out) {
  if (bytes.size() < kMinMemberBytes) return false;
  Reader r(bytes);
  GroupMember m;
  m.group = r.int64();
  m.account = r.int64();
  m.nickname = r.text();
  m.card = r.text();
  m.sex = r.int32();
  m.age = r.int32();
  m.area = r.text();
  m.joinTime = r.int32();
  m.lastSpeakTime = r.int32();
  m.level = r.text();
  m.permission = r.int32();
  m.unfriendly = r.boolean();
  m.title = r.text();
  m.titleExpiry = r.int32();
  m.cardChangeable = r.boolean();
  if (!r.ok()) return false;
  out = std::move(m);
  return true;
}

bool DecodeMemberListBytes(std::string_view bytes, std::vector<GroupMember>& members) {
  if (bytes.size() < 4) {
    LogWarning("member list rejected: " + std::to_string(bytes.size()) + " bytes, no count");
    return false;
  }
  Reader r(bytes);
  const int32_t count = r.int32();
  if (count < 0) {
    LogWarning("member list rejected: negative count " + std::to_string(count));
    return false;
  }
  std::vector<GroupMember> decoded;
  // Never trust the count for the allocation: every entry needs 42 bytes at least.
  decoded.reserve(std::min<size_t>(static_cast<size_t>(count), r.left() / (kMinMemberBytes + 2)));
  for (int32_t i = 0; i < count; ++i) {
    if (r.left() == 0) {
      LogWarning("member list rejected: count " + std::to_string(count) + " but only " +
                 std::to_string(i) + " entries");
      return false;
    }
    const std::string_view entry = r.bytes();
    GroupMember m;
    if (!r.ok() || !DecodeGroupMember(entry, m)) {
      LogWarning("member list rejected: entry " + std::to_string(i + 1) + " is broken");
      return false;
    }
    decoded.push_back(std::move(m));
  }
  members = std::move(decoded);
  return true;
}

bool DecodeMemberList(std::string_view base64, std::vector<GroupMember>& members) {
  if (base64.empty()) return false;
  const std::string bytes = Base64Decode(base64);
  if (bytes.empty()) {
    LogWarning("member list rejected: not Base64");
    return false;
  }
  return DecodeMemberListBytes(bytes, members);
}

std::string EncodeAnonymous(const AnonymousInfo& info) {
  Writer w;
  w.int64(info.id);
  w.text(info.name);
  w.bytes(std::string_view(info.token).substr(0, kMaxFieldBytes));
  return Base64Encode(w.str());
}

std::string EncodeGroupMember(const GroupMember& m) {
  Writer w;
  w.int64(m.group);
  w.int64(m.account);
  w.text(m.nickname, kMaxMemberTextBytes);
  w.text(m.card, kMaxMemberTextBytes);
  w.int32(m.sex);
  w.int32(m.age);
  w.text(m.area, kMaxMemberTextBytes);
  w.int32(m.joinTime);
  w.int32(m.lastSpeakTime);
  w.text(m.level, kMaxMemberTextBytes);
  w.int32(m.permission);
  w.boolean(m.unfriendly);
  w.text(m.title, kMaxMemberTextBytes);
  w.int32(m.titleExpiry);
  w.boolean(m.cardChangeable);
  return std::move(w.str());
}

std::string EncodeMemberList(const std::vector<GroupMember>& members) {
  Writer w;
  w.int32(static_cast<int32_t>(members.size()));
  for (const GroupMember& m : members) w.bytes(EncodeGroupMember(m));
  return Base64Encode(w.str());
}

}  // namespace bw
