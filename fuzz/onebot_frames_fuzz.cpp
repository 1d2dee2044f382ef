// libFuzzer target for what the OneBot adapter reads from outside: event
// frames (JSON, mapped to records, array messages turned into CQ-code text)
// and the leading bytes of images fetched from a message's url.
// The first input byte picks the reader; the rest is its input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/cq_code.h"
#include "onebot/events.h"
#include "onebot/image_size.h"
#include "util/log.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void Events(std::string_view text) {
  using bw::onebot::Json;
  Json frame = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (frame.is_discarded()) return;
  const bw::onebot::MappedEvent m = bw::onebot::MapEvent(frame);
  if (m.kind == bw::onebot::EventKind::kJoinRequest) Check(!m.joinRequest.responseFlag.empty());
  if (frame.is_object() && frame.contains("message")) {
    const std::string cq = bw::onebot::MessageToCqText(frame["message"]);
    if (frame["message"].is_array()) {
      // Text segments alone never open a code: their brackets are escaped.
      bool onlyText = true;
      for (const Json& s : frame["message"])
        onlyText = onlyText && s.is_object() && s.value("type", Json()) == Json("text");
      if (onlyText) Check(cq.find('[') == std::string::npos);
    }
  }
}

void Image(std::string_view bytes) {
  bw::onebot::PixelSize whole, half;
  const bw::onebot::ImageProbe a = bw::onebot::ProbeImageSize(bytes, whole);
  // A size read from a prefix is the size of the whole file.
  if (bw::onebot::ProbeImageSize(bytes.substr(0, bytes.size() / 2), half) ==
      bw::onebot::ImageProbe::kFound) {
    Check(a == bw::onebot::ImageProbe::kFound);
    Check(half == whole);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    bw::SetLogLevel(bw::LogLevel::kError);
    return true;
  }();
  (void)quiet;
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    Events(rest);
  } else {
    Image(rest);
  }
  return 0;
}
