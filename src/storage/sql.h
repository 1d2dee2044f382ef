// SQL literals. Every value the robot writes into a statement goes through
// SqlQuote, so a value holding a single quote (O'Neil, or
// "'); drop table 群成员; --") stays one quoted value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bw {

// "'" + value with every "'" doubled + "'". NUL bytes are dropped: the driver
// would end the statement text there.
std::string SqlQuote(std::string_view value);
std::string SqlQuote(int64_t value);

}  // namespace bw
