// The plug-in's exported entry points with the host's signatures (exports.cpp).
// The five service exports carry ASCII names here; the export table gives them
// their Chinese names.
#pragma once

#include <cstdint>

#include "dll/calling_convention.h"

extern "C" {

const char* BW_STDCALL AppInfo();
int32_t BW_STDCALL Initialize(int32_t authCode);
int32_t BW_STDCALL _eventStartup();
int32_t BW_STDCALL _eventEnable();
int32_t BW_STDCALL _eventDisable();
int32_t BW_STDCALL _eventExit();
int32_t BW_STDCALL _menuA();
int32_t BW_STDCALL _menuB();
int32_t BW_STDCALL _eventPrivateMsg(int32_t subType, int32_t msgId, int64_t fromQQ, const char* msg,
                                    int32_t font);
int32_t BW_STDCALL _eventGroupMsg(int32_t subType, int32_t msgId, int64_t fromGroup, int64_t fromQQ,
                                  const char* fromAnonymous, const char* msg, int32_t font);
int32_t BW_STDCALL _eventDiscussMsg(int32_t subType, int32_t msgId, int64_t fromDiscuss,
                                    int64_t fromQQ, const char* msg, int32_t font);
int32_t BW_STDCALL _eventGroupUpload(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                     int64_t fromQQ, const char* file);
int32_t BW_STDCALL _eventSystem_GroupAdmin(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                           int64_t beingOperateQQ);
int32_t BW_STDCALL _eventSystem_GroupMemberDecrease(int32_t subType, int32_t sendTime,
                                                    int64_t fromGroup, int64_t fromQQ,
                                                    int64_t beingOperateQQ);
int32_t BW_STDCALL _eventSystem_GroupMemberIncrease(int32_t subType, int32_t sendTime,
                                                    int64_t fromGroup, int64_t fromQQ,
                                                    int64_t beingOperateQQ);
int32_t BW_STDCALL _eventFriend_Add(int32_t subType, int32_t sendTime, int64_t fromQQ);
int32_t BW_STDCALL _eventRequest_AddFriend(int32_t subType, int32_t sendTime, int64_t fromQQ,
                                           const char* msg, const char* responseFlag);
int32_t BW_STDCALL _eventRequest_AddGroup(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                          int64_t fromQQ, const char* msg,
                                          const char* responseFlag);

const char* BW_STDCALL bw_ComputeGtk(const char* cookieValue);  // 计算G_tk
const char* BW_STDCALL bw_FetchNickname(const char* account);   // 取_QQ昵称
const char* BW_STDCALL bw_FetchOwnAvatar();                     // 取_QQ头像
int32_t BW_STDCALL bw_RefreshGroupData();                       // 刷新群管数据
int32_t BW_STDCALL bw_PublishHomework(const char* group, const char* courseName,
                                      const char* content, int32_t remind,
                                      const char* syncGroups);  // 资料_发布作业
}
