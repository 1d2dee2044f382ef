#include "automod/evaluator.h"

#include <algorithm>
#include <unordered_map>

#include "automod/compiled.h"
#include "automod/fold.h"
#include "automod/regex_literals.h"
#include "automod/triggers.h"

namespace bw::automod {

namespace {

uint32_t Hash(std::string_view s) {
  uint32_t h = 2166136261u;
  for (unsigned char c : s) h = (h ^ c) * 16777619u;
  return h;
}

struct MemberKey {
  int64_t group;
  int64_t member;
  bool operator==(const MemberKey&) const = default;
};
struct MemberKeyHash {
  size_t operator()(const MemberKey& k) const {
    return std::hash<int64_t>()(k.group * 1000003 ^ k.member);
  }
};

struct MemberWindow {
  uint32_t last = 0;
  std::vector<WindowEntry> entries;
};

}  // namespace

CompiledRules::CompiledRules(const RuleSet& source) : set(source) {
  rules.resize(set.rules.size());
  for (size_t i = 0; i < set.rules.size(); ++i) {
    const Rule& r = set.rules[i];
    CompiledRule& c = rules[i];
    c.rule = &r;
    if (r.state == RuleState::kOff) continue;
    anyActive = true;
    if (!r.allGroups) c.groups.insert(r.groups.begin(), r.groups.end());
    const Trigger& t = r.trigger;
    const auto tag = static_cast<uint32_t>(i);
    switch (t.kind) {
      case TriggerKind::kWords:
        for (const Word& w : t.words) {
          if (w.mode == WordMode::kRegex) {
            RegexPattern p(w.text);
            if (!p.ok()) continue;  // refused by validation; a hand-edited file may still hold one
            if (auto literals = RequiredLiterals(w.text)) {
              for (std::string& l : *literals) contains.add(std::move(l), tag | kRegexLiteral);
            } else {
              c.regexAlways = true;
            }
            c.regexes.push_back(std::move(p));
            continue;
          }
          std::string folded = FoldWord(w.text);
          if (folded.empty()) continue;
          if (w.mode == WordMode::kWhole) {
            auto& list = whole[folded];
            if (list.empty() || list.back() != tag) list.push_back(tag);
          } else {
            contains.add(std::move(folded), tag);
          }
        }
        for (const std::string& a : t.allow)
          if (std::string folded = FoldWord(a); !folded.empty())
            c.allow.push_back(std::move(folded));
        break;
      case TriggerKind::kFlood:
        windowEntries = std::max<uint32_t>(windowEntries, static_cast<uint32_t>(t.count + 1));
        windowDeciseconds =
            std::max<uint32_t>(windowDeciseconds, static_cast<uint32_t>(t.seconds * 10));
        break;
      case TriggerKind::kRepeat:
        windowEntries = std::max<uint32_t>(windowEntries, static_cast<uint32_t>(t.count));
        windowDeciseconds =
            std::max<uint32_t>(windowDeciseconds, static_cast<uint32_t>(t.seconds * 10));
        break;
      case TriggerKind::kRaid:
        raidMembers = std::max<uint32_t>(raidMembers, static_cast<uint32_t>(t.count));
        raidDeciseconds =
            std::max<uint32_t>(raidDeciseconds, static_cast<uint32_t>(t.seconds * 10));
        break;
      case TriggerKind::kMentions:
      case TriggerKind::kLinks:
        break;
    }
  }
}

std::shared_ptr<const CompiledRules> Compile(const RuleSet& set) {
  return std::make_shared<const CompiledRules>(set);
}

int64_t MemoryPoints::add(int64_t group, int64_t member, int64_t points, int64_t time,
                          int64_t days) {
  {
    std::lock_guard lock(mu_);
    given_[{group, member}].emplace_back(time, points);
  }
  return held(group, member, time, days);
}

int64_t MemoryPoints::held(int64_t group, int64_t member, int64_t time, int64_t days) {
  std::lock_guard lock(mu_);
  const auto it = given_.find({group, member});
  if (it == given_.end()) return 0;
  int64_t sum = 0;
  for (const auto& [at, n] : it->second)
    if (at > time - days * 86400) sum += n;
  return std::max<int64_t>(sum, 0);
}

struct Evaluator::Impl {
  mutable std::mutex mu;
  std::shared_ptr<const CompiledRules> rules;
  std::unordered_map<MemberKey, MemberWindow, MemberKeyHash> members;
  std::unordered_map<int64_t, RaidWindow> raids;
  int64_t baseMs = -1;  // window times count deciseconds from here
  uint32_t lastSweep = 0;
  // Per message, reused so that a clean message allocates nothing.
  std::string folded;
  std::vector<std::string_view> wordHits;
  std::vector<char> regexCandidates;

  uint32_t windowTime(int64_t ms) {
    // A day before the first message, so a slightly earlier one still fits.
    if (baseMs < 0) baseMs = ms - 86'400'000;
    const int64_t d = (ms - baseMs) / 100;
    return d < 0 ? 0 : d > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(d);
  }

  void sweep(uint32_t now) {
    const CompiledRules& c = *rules;
    const uint32_t keep = std::max(c.windowDeciseconds, c.raidDeciseconds);
    if (now - lastSweep < std::max<uint32_t>(keep, 600)) return;
    lastSweep = now;
    std::erase_if(members, [&](const auto& e) {
      return c.windowDeciseconds == 0 || now - e.second.last >= c.windowDeciseconds;
    });
    for (auto& [group, raid] : raids)
      raid.forget(now > c.raidDeciseconds ? now - c.raidDeciseconds : 0);
    std::erase_if(raids, [](const auto& e) { return e.second.empty(); });
  }
};

Evaluator::Evaluator(const RuleSet& set) : Evaluator(Compile(set)) {}

Evaluator::Evaluator(std::shared_ptr<const CompiledRules> rules) : impl_(std::make_unique<Impl>()) {
  impl_->rules = std::move(rules);
}

Evaluator::~Evaluator() = default;

void Evaluator::setRules(std::shared_ptr<const CompiledRules> rules) {
  std::lock_guard lock(impl_->mu);
  impl_->rules = std::move(rules);
  if (impl_->rules->windowDeciseconds == 0) impl_->members.clear();
  if (impl_->rules->raidDeciseconds == 0) impl_->raids.clear();
}

std::shared_ptr<const CompiledRules> Evaluator::rules() const {
  std::lock_guard lock(impl_->mu);
  return impl_->rules;
}

const RuleSet& Evaluator::ruleSet() const {
  std::lock_guard lock(impl_->mu);
  return impl_->rules->set;
}

size_t Evaluator::windowMembers() const {
  std::lock_guard lock(impl_->mu);
  return impl_->members.size();
}

size_t Evaluator::windowBytes() const {
  std::lock_guard lock(impl_->mu);
  // Node (key, value, next pointer, cached hash) plus the entries' block.
  size_t n = impl_->members.bucket_count() * sizeof(void*);
  for (const auto& [key, w] : impl_->members)
    n += sizeof(MemberKey) + sizeof(MemberWindow) + 2 * sizeof(void*) +
         w.entries.capacity() * sizeof(WindowEntry);
  for (const auto& [group, raid] : impl_->raids) n += raid.bytes();
  return n;
}

std::vector<Verdict> Evaluator::evaluate(const Message& m, const Lookups& lookups,
                                         PointsLedger* points) {
  std::vector<Verdict> out;
  std::lock_guard lock(impl_->mu);
  Impl& s = *impl_;
  const CompiledRules& c = *s.rules;
  if (!c.anyActive) return out;
  if (lookups.exempt && lookups.exempt(m.group, m.member)) return out;

  const uint32_t now = s.windowTime(m.timeMs);
  FoldInto(m.text, s.folded);
  const std::string_view folded = s.folded;

  // Words of every rule in one scan.
  s.wordHits.assign(c.rules.size(), std::string_view());
  s.regexCandidates.assign(c.rules.size(), 0);
  c.contains.find(folded, [&](uint32_t tag, std::string_view word) {
    if (tag & CompiledRules::kRegexLiteral)
      s.regexCandidates[tag & ~CompiledRules::kRegexLiteral] = 1;
    else if (s.wordHits[tag].empty())
      s.wordHits[tag] = word;
    return true;
  });
  if (!c.whole.empty()) {
    if (const auto it = c.whole.find(s.folded); it != c.whole.end())
      for (uint32_t tag : it->second)
        if (s.wordHits[tag].empty()) s.wordHits[tag] = it->first;
  }
  MessageFacts facts;
  facts.raw = m.text;
  facts.folded = folded;
  facts.wordHits = &s.wordHits;
  facts.now = now;
  facts.regexCandidates = &s.regexCandidates;

  // The windows, once per message.
  const uint32_t textHash = Hash(folded.empty() ? m.text : folded);
  MemberWindow* window = nullptr;
  if (c.windowEntries > 0) {
    window = &s.members[MemberKey{m.group, m.member}];
    window->last = now;
    auto& e = window->entries;
    std::erase_if(e, [&](const WindowEntry& x) { return now - x.time >= c.windowDeciseconds; });
    if (e.size() >= c.windowEntries)
      e.erase(e.begin(), e.begin() + (e.size() - c.windowEntries + 1));
    // Grown in small steps up to exactly what the rules need: most members
    // send a message or two, and 100,000 of them must stay small.
    if (e.size() == e.capacity())
      e.reserve(std::min<size_t>(c.windowEntries, std::max<size_t>(4, e.capacity() * 2)));
    e.push_back(WindowEntry{now, textHash});
  }
  RaidWindow* raid = nullptr;
  if (c.raidMembers > 0) {
    raid = &s.raids[m.group];
    raid->note(textHash, m.member, now, c.raidDeciseconds, std::max<uint32_t>(c.raidMembers, 2));
  }

  bool acted = false;
  bool clearWindow = false;
  uint32_t raidSlot = 0;
  std::optional<int64_t> joined;
  bool joinedAsked = false;
  for (size_t i = 0; i < c.rules.size(); ++i) {
    const CompiledRule& cr = c.rules[i];
    const Rule& r = *cr.rule;
    const bool isRaid = r.trigger.kind == TriggerKind::kRaid;
    const uint32_t slot = isRaid ? raidSlot++ : 0;
    if (r.state == RuleState::kOff) continue;
    if (r.state == RuleState::kOn && acted) continue;
    if (!r.allGroups && !cr.groups.contains(m.group)) continue;
    std::string reason;
    bool hit = false;
    switch (r.trigger.kind) {
      case TriggerKind::kWords:
        hit = WordsHit(cr, i, facts, reason);
        break;
      case TriggerKind::kFlood:
        hit = window && FloodHit(r.trigger, window->entries, now, reason);
        break;
      case TriggerKind::kRepeat:
        hit = window && RepeatHit(r.trigger, window->entries, now, reason);
        break;
      case TriggerKind::kRaid:
        if (raid) {
          raid->setRuleSlot(slot);
          hit = raid->hit(r.trigger, textHash, m.member, now, reason);
        }
        break;
      case TriggerKind::kMentions:
        hit = MentionsHit(r.trigger, m.text, reason);
        break;
      case TriggerKind::kLinks:
        hit = LinksHit(r.trigger, facts, reason);
        break;
    }
    if (!hit) continue;
    if (r.newcomerDays > 0) {
      if (!joinedAsked) {
        joinedAsked = true;
        if (lookups.joinTime) joined = lookups.joinTime(m.group, m.member);
      }
      if (!joined || m.timeMs / 1000 - *joined >= r.newcomerDays * 86400) continue;
      reason += "（入群不到 " + std::to_string(r.newcomerDays) + " 天）";
    }
    if (r.trigger.kind == TriggerKind::kFlood || r.trigger.kind == TriggerKind::kRepeat)
      clearWindow = true;

    Verdict v;
    v.ruleId = r.id;
    v.ruleName = r.name;
    v.watch = r.state == RuleState::kWatch;
    v.reason = std::move(reason);
    const int64_t time = m.timeMs / 1000;
    const Ladder& ladder = c.set.ladder;
    for (const Action& a : r.actions) {
      Step step;
      step.kind = a.kind;
      step.text = a.text;
      step.amount = a.kind == ActionKind::kMute     ? a.seconds
                    : a.kind == ActionKind::kPoints ? a.count
                                                    : 0;
      if (a.kind != ActionKind::kPoints || !points) {
        v.steps.push_back(std::move(step));
        continue;
      }
      step.held = v.watch ? points->held(m.group, m.member, time, ladder.days) + a.count
                          : points->add(m.group, m.member, a.count, time, ladder.days);
      const int64_t held = step.held;
      v.steps.push_back(std::move(step));
      // The highest step the member has reached.
      const LadderStep* reached = nullptr;
      for (const LadderStep& ls : ladder.steps)
        if (held >= ls.points) reached = &ls;
      if (reached) {
        Step penalty;
        penalty.kind = reached->action;
        penalty.amount = reached->action == ActionKind::kMute ? reached->seconds : 0;
        penalty.ladder = true;
        penalty.held = held;
        v.steps.push_back(std::move(penalty));
      }
    }
    if (!v.watch) acted = true;
    out.push_back(std::move(v));
  }
  if (clearWindow && window) window->entries.clear();
  s.sweep(now);
  return out;
}

}  // namespace bw::automod
