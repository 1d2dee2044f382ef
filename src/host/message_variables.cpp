#include "host/message_variables.h"

#include "host/cq_code.h"
#include "util/text.h"
#include "util/time_text.h"

namespace bw {

std::string FillMessageVariables(std::string_view text, int64_t member, SystemTime now) {
  std::string out = ReplaceAll(text, "[昵称]", cq::At(member));
  // Formatting the time costs a localtime call: only when it is used.
  if (Contains(out, "[时间]")) out = ReplaceAll(out, "[时间]", DateTimeText(now));
  return out;
}

}  // namespace bw
