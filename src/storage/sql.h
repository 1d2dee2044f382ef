// SQL literals, for statement texts that are still built with values in them.
// The table owners bind their values instead (storage/prepared.h); no product
// code builds such a text any more. What still does: the benchmarks' raw
// sqlite3 reference (bench/member_refresh.cpp, bench/database.cpp), the Wine
// backend checks and the database layer's own tests, which exercise the
// statement-text calls (Execute, Query) that remain for them. A value holding
// a single quote (O'Neil, or "'); drop table 群成员; --") stays one quoted value.
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
