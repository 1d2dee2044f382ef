// libFuzzer target for everything that parses bytes handed over by the host:
// Base64, anonymous-sender records, member lists and CQ-code unescaping.
// The first input byte picks the decoder; the rest is its input, passed without
// a copy so that AddressSanitizer sees any read past the end.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "host/cq_code.h"
#include "host/host_records.h"
#include "util/log.h"

namespace {

// A found invariant violation aborts, so libFuzzer keeps the input.
void Check(bool condition) {
  if (!condition) std::abort();
}

const bw::GroupMember& Sentinel() {
  static const bw::GroupMember m = [] {
    bw::GroupMember s;
    s.group = 1;
    s.account = 2;
    s.nickname = "sentinel";
    return s;
  }();
  return m;
}

void FuzzMemberList(std::string_view input, bool base64) {
  std::vector<bw::GroupMember> members{Sentinel()};
  const bool ok =
      base64 ? bw::DecodeMemberList(input, members) : bw::DecodeMemberListBytes(input, members);
  if (!ok) {
    Check(members.size() == 1 && members[0] == Sentinel());
    return;
  }
  if (!base64) {
    const uint32_t count = (static_cast<uint32_t>(static_cast<unsigned char>(input[0])) << 24) |
                           (static_cast<unsigned char>(input[1]) << 16) |
                           (static_cast<unsigned char>(input[2]) << 8) |
                           static_cast<unsigned char>(input[3]);
    Check(members.size() == count);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  bw::SetLogSink([](bw::LogLevel, std::string_view) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 6) {
    case 0: {
      const std::string bytes = bw::Base64Decode(input);
      Check(bytes.size() <= input.size());
      if (!bytes.empty()) Check(bw::Base64Decode(bw::Base64Encode(bytes)) == bytes);
      break;
    }
    case 1: {
      bw::AnonymousInfo info;
      info.name = "before";
      if (!bw::DecodeAnonymous(input, info)) Check(info.name == "before" && info.id == 0);
      break;
    }
    case 2:
      FuzzMemberList(input, true);
      break;
    case 3: {
      (void)bw::cq::Unescape(input);
      Check(bw::cq::Unescape(bw::cq::Escape(input, true)) == input);
      Check(bw::cq::Unescape(bw::cq::Escape(input, false)) == input);
      break;
    }
    case 4: {
      bw::AnonymousInfo info;
      (void)bw::DecodeAnonymousBytes(input, info);
      bw::GroupMember member;
      (void)bw::DecodeGroupMember(input, member);
      break;
    }
    default:
      FuzzMemberList(input, false);
      break;
  }
  return 0;
}
