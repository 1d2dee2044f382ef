// The exported entry points of the plug-in, with the host's exact signatures.
// Every export forwards to the loaded Plugin, which on Windows the first export
// call creates (never DllMain: nothing may load a library, write a file or
// start a thread under the loader lock). Without a plug-in (the native tests
// before LoadPlugin or after UnloadPlugin) an export answers 0 or an empty
// text. The five service exports have Chinese names, which C++ cannot spell
// portably: they are defined here under ASCII names and exported under their
// GBK names by the module-definition file generated from exports.def.in.
#include "dll/exports.h"

#include "dll/plugin.h"

#if defined(_WIN32)
#include <windows.h>

#include <atomic>
#include <ctime>
#include <string>

#include "util/log.h"
#include "util/wide_text.h"

// Times past 2038 are stored and compared: msvcrt's time_t must be the 64-bit one.
static_assert(sizeof(time_t) == 8, "build with -D__MINGW_USE_VC2005_COMPAT");
#endif

namespace {

#if defined(_WIN32)
// While the plug-in's threads run, the library holds a reference to itself: a
// host that unloads it without _eventExit must not unmap code that a thread
// still runs (and the threads cannot be joined under the loader lock).
// _eventExit joins them and drops the reference.
HMODULE gSelf = nullptr;
std::atomic<HMODULE> gSelfReference{nullptr};

void HoldSelf() {
  if (gSelfReference.load() != nullptr || gSelf == nullptr) return;
  std::wstring path(MAX_PATH, L'\0');
  DWORD n = 0;
  while ((n = GetModuleFileNameW(gSelf, path.data(), static_cast<DWORD>(path.size()))) ==
         path.size()) {
    path.resize(path.size() * 2);
  }
  path.resize(n);
  HMODULE held = LoadLibraryW(path.c_str());
  HMODULE none = nullptr;
  if (held && !gSelfReference.compare_exchange_strong(none, held)) FreeLibrary(held);
}

void ReleaseSelf() {
  if (HMODULE held = gSelfReference.exchange(nullptr)) FreeLibrary(held);
}

#if defined(BW_WEB_SERVICES_URL)
// Kept in the file as text: scripts/build-windows --check tells a test build
// from a release by it.
[[gnu::used]] const char kTestBuildMark[] =
    "a test build: the QQ web services are at " BW_WEB_SERVICES_URL;
#endif

// What a plug-in loaded by the host works with: the host's run directory (the
// directory of its program), its CQP.dll, the update server given at build time.
bw::dll::PluginOptions HostOptions() {
  std::wstring exe(MAX_PATH, L'\0');
  DWORD n = 0;
  while ((n = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()))) ==
         exe.size()) {
    exe.resize(exe.size() * 2);
  }
  exe.resize(n);
  const size_t slash = exe.find_last_of(L"\\/");
  const std::wstring dir = slash == std::wstring::npos ? std::wstring() : exe.substr(0, slash);
  bw::dll::PluginOptions options;
  options.runDirectory = bw::Utf8FromWide(dir);
  options.hostLibrary = "CQP.dll";
  options.updateBaseUrl = BW_UPDATE_URL;
  if (!options.updateBaseUrl.empty() && options.updateBaseUrl.back() != '/')
    options.updateBaseUrl += '/';
#if defined(BW_WEB_SERVICES_URL)
  // A test build (scripts/test-windows): every web service at its loopback
  // stub. A release is built without it and talks to QQ's own hosts.
  const std::string web = BW_WEB_SERVICES_URL;
  bw::LogWarning(kTestBuildMark);
  options.webServices = {web, web, web, web, web, web};
#endif
  return options;
}

bw::dll::Plugin* Loaded() { return bw::dll::EnsurePlugin(HostOptions); }
#else
void HoldSelf() {}
void ReleaseSelf() {}
bw::dll::Plugin* Loaded() { return bw::dll::CurrentPlugin(); }
#endif

template <typename Fn>
int32_t Forward(Fn&& fn) {
  bw::dll::Plugin* plugin = Loaded();
  return plugin ? fn(*plugin) : 0;
}

template <typename Fn>
const char* ForwardText(Fn&& fn) {
  bw::dll::Plugin* plugin = Loaded();
  return plugin ? fn(*plugin) : "";
}

}  // namespace

extern "C" {

const char* BW_STDCALL AppInfo() {
  return ForwardText([](auto& p) { return p.AppInfo(); });
}
int32_t BW_STDCALL Initialize(int32_t authCode) {
  // A second Initialize: the host unloaded the library without _eventExit (it
  // stayed loaded for its threads) and loaded it again. The old instance's
  // threads are joined, so the library's hold on itself goes too.
  if (bw::dll::RestartIfInitialized()) ReleaseSelf();
  return Forward([&](auto& p) { return p.Initialize(authCode); });
}
int32_t BW_STDCALL _eventStartup() {
  return Forward([](auto& p) { return p._eventStartup(); });
}
int32_t BW_STDCALL _eventEnable() {
  HoldSelf();  // before the first thread starts
  return Forward([](auto& p) { return p._eventEnable(); });
}
int32_t BW_STDCALL _eventDisable() {
  return Forward([](auto& p) { return p._eventDisable(); });
}
int32_t BW_STDCALL _eventExit() {
  const int32_t result = Forward([](auto& p) { return p._eventExit(); });
  ReleaseSelf();  // every thread was joined: an unload may follow
  return result;
}
int32_t BW_STDCALL _menuA() {
  return Forward([](auto& p) { return p._menuA(); });
}
int32_t BW_STDCALL _menuB() {
  return Forward([](auto& p) { return p._menuB(); });
}

int32_t BW_STDCALL _eventPrivateMsg(int32_t subType, int32_t msgId, int64_t fromQQ, const char* msg,
                                    int32_t font) {
  return Forward([&](auto& p) { return p._eventPrivateMsg(subType, msgId, fromQQ, msg, font); });
}
int32_t BW_STDCALL _eventGroupMsg(int32_t subType, int32_t msgId, int64_t fromGroup, int64_t fromQQ,
                                  const char* fromAnonymous, const char* msg, int32_t font) {
  return Forward([&](auto& p) {
    return p._eventGroupMsg(subType, msgId, fromGroup, fromQQ, fromAnonymous, msg, font);
  });
}
int32_t BW_STDCALL _eventDiscussMsg(int32_t subType, int32_t msgId, int64_t fromDiscuss,
                                    int64_t fromQQ, const char* msg, int32_t font) {
  return Forward(
      [&](auto& p) { return p._eventDiscussMsg(subType, msgId, fromDiscuss, fromQQ, msg, font); });
}
int32_t BW_STDCALL _eventGroupUpload(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                     int64_t fromQQ, const char* file) {
  return Forward(
      [&](auto& p) { return p._eventGroupUpload(subType, sendTime, fromGroup, fromQQ, file); });
}
int32_t BW_STDCALL _eventSystem_GroupAdmin(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                           int64_t beingOperateQQ) {
  return Forward([&](auto& p) {
    return p._eventSystem_GroupAdmin(subType, sendTime, fromGroup, beingOperateQQ);
  });
}
int32_t BW_STDCALL _eventSystem_GroupMemberDecrease(int32_t subType, int32_t sendTime,
                                                    int64_t fromGroup, int64_t fromQQ,
                                                    int64_t beingOperateQQ) {
  return Forward([&](auto& p) {
    return p._eventSystem_GroupMemberDecrease(subType, sendTime, fromGroup, fromQQ, beingOperateQQ);
  });
}
int32_t BW_STDCALL _eventSystem_GroupMemberIncrease(int32_t subType, int32_t sendTime,
                                                    int64_t fromGroup, int64_t fromQQ,
                                                    int64_t beingOperateQQ) {
  return Forward([&](auto& p) {
    return p._eventSystem_GroupMemberIncrease(subType, sendTime, fromGroup, fromQQ, beingOperateQQ);
  });
}
int32_t BW_STDCALL _eventFriend_Add(int32_t subType, int32_t sendTime, int64_t fromQQ) {
  return Forward([&](auto& p) { return p._eventFriend_Add(subType, sendTime, fromQQ); });
}
int32_t BW_STDCALL _eventRequest_AddFriend(int32_t subType, int32_t sendTime, int64_t fromQQ,
                                           const char* msg, const char* responseFlag) {
  return Forward([&](auto& p) {
    return p._eventRequest_AddFriend(subType, sendTime, fromQQ, msg, responseFlag);
  });
}
int32_t BW_STDCALL _eventRequest_AddGroup(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                          int64_t fromQQ, const char* msg,
                                          const char* responseFlag) {
  return Forward([&](auto& p) {
    return p._eventRequest_AddGroup(subType, sendTime, fromGroup, fromQQ, msg, responseFlag);
  });
}

// 计算G_tk
const char* BW_STDCALL bw_ComputeGtk(const char* cookieValue) {
  return ForwardText([&](auto& p) { return p.ComputeGtk(cookieValue); });
}
// 取_QQ昵称
const char* BW_STDCALL bw_FetchNickname(const char* account) {
  return ForwardText([&](auto& p) { return p.FetchNickname(account); });
}
// 取_QQ头像
const char* BW_STDCALL bw_FetchOwnAvatar() {
  return ForwardText([](auto& p) { return p.FetchOwnAvatar(); });
}
// 刷新群管数据
int32_t BW_STDCALL bw_RefreshGroupData() {
  return Forward([](auto& p) { return p.RefreshGroupData(); });
}
// 资料_发布作业
int32_t BW_STDCALL bw_PublishHomework(const char* group, const char* courseName,
                                      const char* content, int32_t remind, const char* syncGroups) {
  return Forward(
      [&](auto& p) { return p.PublishHomework(group, courseName, content, remind, syncGroups); });
}

#if defined(_WIN32)
// Only the module is recorded here: the plug-in is created by the first export
// call, outside the loader lock.
BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    gSelf = self;
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // A FreeLibrary. While threads ran, the library's own reference kept it
    // loaded, so none runs now: the objects go, their files are closed.
    // (At process exit, reserved != nullptr, the process takes everything.)
    bw::dll::UnloadPluginForLibraryUnload();
  }
  return TRUE;
}
#endif

}  // extern "C"
