// Reading and rewriting the owner's text files (settings and list files) so
// that no byte of theirs is ever lost: a file is decoded line by line
// (DecodeFileText), every line that could not be read cleanly is logged with
// the file name and line number, and before such a file is rewritten its
// original bytes are kept beside it as "<file>.unreadable-YYYYMMDD-HHMMSS".
//
// Thread-safety: all functions may be called from any thread; callers serialise
// writers of one path.
#pragma once

#include <string>
#include <string_view>

#include "util/charset.h"
#include "util/clock.h"
#include "util/status.h"

namespace bw {

struct TextFile {
  bool exists = false;
  std::string bytes;  // as stored
  DecodedText decoded;
};

// A missing file is no error (exists = false). Lines that were not read cleanly
// are logged once per file content, however often the file is read.
Status ReadTextFile(const std::string& path, TextFile& out);

// Call before rewriting `path` whose current content is `file`: when it was not
// read cleanly, its bytes are written to "<path>.unreadable-<local time of
// clock>" first. An error means the copy could not be made, and the caller must
// leave the file alone.
Status KeepUnreadableOriginal(const std::string& path, const TextFile& file, const Clock& clock);
// The same, reading the current content first.
Status KeepUnreadableOriginal(const std::string& path, const Clock& clock);

// The clock of callers that have none (tools, tests): the machine's clock.
const Clock& SystemClock();

}  // namespace bw
