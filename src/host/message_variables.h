// Message variables: the placeholders an owner writes into the texts the robot
// sends (welcome, warning, notices, invitation answers). "[昵称]" becomes a
// mention of the member, "[时间]" the current time as DateTimeText writes it.
//
// Thread-safety: pure function.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/clock.h"

namespace bw {

std::string FillMessageVariables(std::string_view text, int64_t member, SystemTime now);

}  // namespace bw
