// Small helpers of the Windows host harness: checks that print one line each,
// text conversions (UTF-8, GBK through the system's code page 936, UTF-16),
// files by wide path, the host's Base64 member-list record, and the threads
// of the process.
//
// Thread-safety: Check() and the counters belong to the harness's main thread.
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace bw::wine {

// Prints "ok - name" or "FAIL - name: detail"; returns `ok`.
// GetProcAddress as a plain pointer, to be cast to the function's real type.
void* Symbol(HMODULE module, const char* name);

bool Check(bool ok, const std::string& name, const std::string& detail = {});
int Failures();
int Checks();

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);
std::string Gbk(const std::wstring& text);
// Bytes shown for a report: GBK decoded to UTF-8.
std::string FromGbk(const std::string& gbk);

bool WriteBytes(const std::wstring& path, const std::string& bytes);
bool ReadBytes(const std::wstring& path, std::string& bytes);
bool IsDirectory(const std::wstring& path);

// Polls `done` every 50 ms until it holds or `limit` passed.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit);

// One group member as the host's record describes it (big-endian fields).
struct MemberRecord {
  int64_t group = 0;
  int64_t account = 0;
  std::wstring nickname, card;
  int32_t permission = 1;
};
// The member-list record in Base64: count, then each member as bytes.
std::string MemberListBase64(const std::vector<MemberRecord>& members);

// The threads of this process, and the module a thread started in.
std::set<DWORD> ThreadIds();
std::string ThreadStart(DWORD id);

}  // namespace bw::wine
