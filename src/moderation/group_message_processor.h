// GroupMessageProcessor: a managed group's message runs through three stages —
// the invite commands, violation detection with the administrators' kick
// command, and the keyword reply when the robot is mentioned.
// PrivateMessageHandler: private messages get keyword replies only.
//
// Command targets are the first mentioned account other than the robot's own.
// Thread-safety: both may be called from any thread; the modules they call
// guard their own state. The workers call them one message at a time.
#pragma once

#include "events/records.h"

namespace bw {

class Settings;
class Identity;
class InviteStats;
class AccountLists;
class Violations;
class KeywordReplies;

class GroupMessageProcessor {
 public:
  GroupMessageProcessor(Settings& settings, const Identity& identity, InviteStats& invites,
                        AccountLists& lists, Violations& violations, KeywordReplies& replies);
  void process(const GroupMessageRecord& record);

 private:
  Settings& settings_;
  const Identity& identity_;
  InviteStats& invites_;
  AccountLists& lists_;
  Violations& violations_;
  KeywordReplies& replies_;
};

class PrivateMessageHandler {
 public:
  PrivateMessageHandler(Settings& settings, KeywordReplies& replies);
  void handle(const PrivateMessageRecord& record);

 private:
  Settings& settings_;
  KeywordReplies& replies_;
};

}  // namespace bw
