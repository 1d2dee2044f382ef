#include "harness_support.h"

#include <tlhelp32.h>

#include <cstdio>
#include <set>
#include <thread>

namespace bw::wine {
namespace {

int gChecks = 0;
int gFailures = 0;

std::string Convert(UINT codePage, const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

std::wstring Back(UINT codePage, const std::string& bytes) {
  if (bytes.empty()) return {};
  const int n =
      MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
  return out;
}

void BigEndian(std::string& out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void Text(std::string& out, const std::wstring& text) {
  const std::string gbk = Gbk(text);
  BigEndian(out, gbk.size(), 2);
  out += gbk;
}

}  // namespace

void* Symbol(HMODULE module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(module, name));
}

bool Check(bool ok, const std::string& name, const std::string& detail) {
  ++gChecks;
  if (ok) {
    std::printf("ok - %s\n", name.c_str());
  } else {
    ++gFailures;
    std::printf("FAIL - %s: %s\n", name.c_str(), detail.c_str());
  }
  std::fflush(stdout);
  return ok;
}

int Failures() { return gFailures; }
int Checks() { return gChecks; }

std::string Utf8(const std::wstring& text) { return Convert(CP_UTF8, text); }
std::wstring Wide(const std::string& utf8) { return Back(CP_UTF8, utf8); }
std::string Gbk(const std::wstring& text) { return Convert(936, text); }
std::string FromGbk(const std::string& gbk) { return Utf8(Back(936, gbk)); }

bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size();
  CloseHandle(f);
  return ok;
}

bool ReadBytes(const std::wstring& path, std::string& bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  bytes.clear();
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(f);
  return true;
}

bool IsDirectory(const std::wstring& path) {
  const DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string MemberListBase64(const std::vector<MemberRecord>& members) {
  std::string record;
  BigEndian(record, members.size(), 4);
  for (const MemberRecord& m : members) {
    std::string one;
    BigEndian(one, static_cast<uint64_t>(m.group), 8);
    BigEndian(one, static_cast<uint64_t>(m.account), 8);
    Text(one, m.nickname);
    Text(one, m.card);
    BigEndian(one, 0, 4);           // sex
    BigEndian(one, 20, 4);          // age
    Text(one, L"");                 // area
    BigEndian(one, 1700000000, 4);  // join time
    BigEndian(one, 1700000100, 4);  // last speak time
    Text(one, L"");                 // level
    BigEndian(one, static_cast<uint32_t>(m.permission), 4);
    BigEndian(one, 0, 4);  // unfriendly
    Text(one, L"");        // title
    BigEndian(one, 0, 4);  // title expiry
    BigEndian(one, 1, 4);  // card changeable
    BigEndian(record, one.size(), 2);
    record += one;
  }
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < record.size(); i += 3) {
    uint32_t v = static_cast<unsigned char>(record[i]) << 16;
    if (i + 1 < record.size()) v |= static_cast<unsigned char>(record[i + 1]) << 8;
    if (i + 2 < record.size()) v |= static_cast<unsigned char>(record[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < record.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < record.size() ? kAlphabet[v & 63] : '=';
  }
  return out;
}

std::set<DWORD> ThreadIds() {
  std::set<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(entry.th32ThreadID);
  }
  CloseHandle(snapshot);
  return ids;
}

std::string ThreadStart(DWORD id) {
  using QueryThread = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
  auto query = reinterpret_cast<QueryThread>(
      Symbol(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread"));
  HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, id);
  if (!query || !thread) return "?";
  PVOID start = nullptr;
  constexpr int kThreadQuerySetWin32StartAddress = 9;
  std::string out = "?";
  if (query(thread, kThreadQuerySetWin32StartAddress, &start, sizeof start, nullptr) == 0) {
    HMODULE module = nullptr;
    wchar_t name[MAX_PATH] = {0};
    if (GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(start), &module) &&
        GetModuleFileNameW(module, name, MAX_PATH)) {
      out = Utf8(name);
    }
  }
  CloseHandle(thread);
  return out;
}

}  // namespace bw::wine
