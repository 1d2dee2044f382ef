// A fake host function library for the native plug-in tests: the CQ_* functions
// with the host's signatures, each recording its call (texts as the raw bytes
// received), and a few fake_cqp_* functions through which a test sets the
// answers and reads the record.
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>

#include "dll/calling_convention.h"

namespace {

std::mutex mu;
std::string calls;  // one line per call: name, AuthCode, arguments, joined by "|"
int64_t loginQQ = 0;
std::string cookies, memberList, nick;
std::string returned;  // what the last text-returning function handed out
std::string snapshot;
bool failActions = false;  // CQ_sendGroupMsg and CQ_setGroupKick throw, as a broken host would fail

void Record(const std::string& line) {
  std::lock_guard lock(mu);
  calls += line + "\n";
}

std::string Str(const char* text) { return text ? text : "(null)"; }

const char* Return(const std::string& text) {
  std::lock_guard lock(mu);
  returned = text;
  return returned.c_str();
}

}  // namespace

extern "C" {

void fake_cqp_configure(int64_t login, const char* cookieText, const char* memberListBase64) {
  std::lock_guard lock(mu);
  loginQQ = login;
  cookies = Str(cookieText);
  memberList = Str(memberListBase64);
  calls.clear();
}

void fake_cqp_fail_actions(int fail) {
  std::lock_guard lock(mu);
  failActions = fail != 0;
}

// The calls so far; the pointer stays valid until the next fake_cqp_calls.
const char* fake_cqp_calls() {
  std::lock_guard lock(mu);
  snapshot = calls;
  return snapshot.c_str();
}

int32_t BW_STDCALL CQ_setFatal(int32_t auth, const char* text) {
  Record("CQ_setFatal|" + std::to_string(auth) + "|" + Str(text));
  return 0;
}
int64_t BW_STDCALL CQ_getLoginQQ(int32_t auth) {
  Record("CQ_getLoginQQ|" + std::to_string(auth));
  std::lock_guard lock(mu);
  return loginQQ;
}
const char* BW_STDCALL CQ_getLoginNick(int32_t auth) {
  Record("CQ_getLoginNick|" + std::to_string(auth));
  return Return("\xC7\xE0\xD3\xDC");  // 青榆 in GBK
}
const char* BW_STDCALL CQ_getCookies(int32_t auth) {
  Record("CQ_getCookies|" + std::to_string(auth));
  std::lock_guard lock(mu);
  returned = cookies;
  return returned.c_str();
}
int32_t BW_STDCALL CQ_getCsrfToken(int32_t auth) {
  Record("CQ_getCsrfToken|" + std::to_string(auth));
  return 1234567;
}
int32_t BW_STDCALL CQ_sendGroupMsg(int32_t auth, int64_t group, const char* text) {
  Record("CQ_sendGroupMsg|" + std::to_string(auth) + "|" + std::to_string(group) + "|" + Str(text));
  return 1;
}
int32_t BW_STDCALL CQ_sendPrivateMsg(int32_t auth, int64_t account, const char* text) {
  Record("CQ_sendPrivateMsg|" + std::to_string(auth) + "|" + std::to_string(account) + "|" +
         Str(text));
  return 1;
}
int32_t BW_STDCALL CQ_setGroupKick(int32_t auth, int64_t group, int64_t account, int32_t refuse) {
  Record("CQ_setGroupKick|" + std::to_string(auth) + "|" + std::to_string(group) + "|" +
         std::to_string(account) + "|" + std::to_string(refuse));
  std::lock_guard lock(mu);
  if (failActions) throw std::runtime_error("the host refused the call");
  return 0;
}
int32_t BW_STDCALL CQ_setGroupBan(int32_t auth, int64_t group, int64_t account, int64_t seconds) {
  Record("CQ_setGroupBan|" + std::to_string(auth) + "|" + std::to_string(group) + "|" +
         std::to_string(account) + "|" + std::to_string(seconds));
  return 0;
}
int32_t BW_STDCALL CQ_setGroupWholeBan(int32_t auth, int64_t group, int32_t enable) {
  Record("CQ_setGroupWholeBan|" + std::to_string(auth) + "|" + std::to_string(group) + "|" +
         std::to_string(enable));
  return 0;
}
int32_t BW_STDCALL CQ_setGroupCard(int32_t auth, int64_t group, int64_t account, const char* card) {
  Record("CQ_setGroupCard|" + std::to_string(auth) + "|" + std::to_string(group) + "|" +
         std::to_string(account) + "|" + Str(card));
  return 0;
}
int32_t BW_STDCALL CQ_setGroupAddRequestV2(int32_t auth, const char* flag, int32_t type,
                                           int32_t decision, const char* reason) {
  Record("CQ_setGroupAddRequestV2|" + std::to_string(auth) + "|" + Str(flag) + "|" +
         std::to_string(type) + "|" + std::to_string(decision) + "|" + Str(reason));
  return 0;
}
const char* BW_STDCALL CQ_getGroupMemberList(int32_t auth, int64_t group) {
  Record("CQ_getGroupMemberList|" + std::to_string(auth) + "|" + std::to_string(group));
  std::lock_guard lock(mu);
  returned = memberList;
  return returned.c_str();
}

}  // extern "C"
