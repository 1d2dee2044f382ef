// The event records queued for the workers. Texts are the robot's own UTF-8
// copies, empty when the host passed none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace bw {

// An anonymous sender is queued with the number the host gave (80000000).
inline constexpr int64_t kAnonymousSender = 80000000;

struct GroupMessageRecord {
  int32_t msgId = 0;
  int64_t fromGroup = 0;
  int64_t fromQQ = 0;
  std::string msg;
  int32_t font = 0;
};

struct PrivateMessageRecord {
  int64_t fromQQ = 0;
  std::string msg;
  int64_t msgId = 0;
  int32_t font = 0;
};

struct JoinRequestRecord {
  int32_t subType = 0;  // 1 someone asks to join; 2 the robot is invited
  int32_t sendTime = 0;
  int64_t fromGroup = 0;
  int64_t fromQQ = 0;
  std::string msg;  // the applicant's comment as the host gave it (never parsed for numbers)
  std::string responseFlag;
  // The inviter the host itself names (OneBot's inviter field); 0 when it
  // names none. The legacy host has no such field: its text is parsed there.
  int64_t inviter = 0;
};

struct MemberChangeRecord {
  int32_t subType = 0;
  int32_t sendTime = 0;
  int64_t fromGroup = 0;
  int64_t fromQQ = 0;          // the operator
  int64_t beingOperateQQ = 0;  // the member who joined or left
};

// The memory a queued record takes, for the queues' byte budget.
inline size_t RecordBytes(const GroupMessageRecord& r) { return sizeof r + r.msg.capacity(); }
inline size_t RecordBytes(const PrivateMessageRecord& r) { return sizeof r + r.msg.capacity(); }
inline size_t RecordBytes(const JoinRequestRecord& r) {
  return sizeof r + r.msg.capacity() + r.responseFlag.capacity();
}
inline size_t RecordBytes(const MemberChangeRecord& r) { return sizeof r; }

}  // namespace bw
