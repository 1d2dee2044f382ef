#!/bin/sh
# Replay throughput with automatic moderation on: 200,000 clean group messages
# of 2,000 members in 4 groups through `brindle-warden replay` with 20 word
# rules (2,000 words, 50 regular expressions) and flood, repeat, raid and
# mention rules; prints events per second (wall clock and CPU).
#   bench/automod_replay_throughput.sh build/apps/brindle-warden [EVENTS] [off]
# ("off": the same events without the rules, for comparison)
set -eu
program=${1:?usage: $0 PATH-TO-brindle-warden [EVENTS]}
events=${2:-200000}
mode=${3:-on}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/data/10000"
printf '{1}1----100----一群----群主\r\n{1}1----101----二群----群主\r\n{1}1----102----三群----群主\r\n{1}1----103----四群----群主\r\n' \
  >"$home/data/10000/群列表.txt"
python3 - "$home/events.jsonl" "$events" "$mode" <<'PY'
import json, random, sys
path, n, mode = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rng = random.Random(3)
def word():
    return "".join(chr(0x4E00 + rng.randrange(0x9FA5 - 0x4E00)) for _ in range(2 + rng.randrange(3)))
rules = []
for i in range(20):
    words = [{"text": word(), "mode": "contains"} for _ in range(100)]
    words += [{"text": "qq%d\\d{4,}|加.{0,3}群%d" % (i * 10 + x, x), "mode": "regex"} for x in range(5 if i < 10 else 0)]
    rules.append({"id": "w%d" % i, "name": "词%d" % i, "trigger": {"kind": "words", "words": words},
                  "actions": [{"kind": "recall"}]})
rules += [{"id": "f", "name": "刷屏", "trigger": {"kind": "flood", "count": 10, "seconds": 10}, "actions": [{"kind": "mute", "seconds": 600}]},
          {"id": "r", "name": "重复", "trigger": {"kind": "repeat", "count": 5, "seconds": 60}, "actions": [{"kind": "recall"}]},
          {"id": "d", "name": "多人", "trigger": {"kind": "raid", "count": 20, "seconds": 60}, "actions": [{"kind": "recall"}]},
          {"id": "m", "name": "@人", "trigger": {"kind": "mentions", "count": 10, "everyone": True}, "actions": [{"kind": "recall"}]}]
texts = ["今天天气不错，我们下午三点去公园散步吧", "好的，收到，晚上见", "这个问题我也不太懂，有人知道吗",
         "哈哈哈哈笑死我了", "明天开会记得带电脑", "Bring the kids too!"]
with open(path, "w", encoding="utf-8") as f:
    if mode != "off":
        f.write(json.dumps({"automod": {"rules": rules}}, ensure_ascii=False) + "\n")
    t = 1796677509
    for i in range(n):
        if i % 50 == 0:
            t += 1
        f.write(json.dumps({"time": t, "post_type": "message", "message_type": "group", "sub_type": "normal",
                            "message_id": i + 1, "group_id": 100 + i % 4, "user_id": 200000 + (i * 7919) % 2000,
                            "message": texts[i % len(texts)] + str(i), "font": 0}, ensure_ascii=False) + "\n")
PY
start=$(date +%s.%N)
/usr/bin/time -f '%U %S' -o "$home/cpu" "$program" replay --home "$home" --clock "2026-12-07 20:00:00" \
  "$home/events.jsonl" >"$home/out" 2>"$home/err"
end=$(date +%s.%N)
calls=$(wc -l <"$home/out")
cpu=$(awk '{print $1 + $2}' "$home/cpu")
awk -v n="$events" -v s="$start" -v e="$end" -v c="$cpu" -v calls="$calls" 'BEGIN {
  printf "%d events in %.2f s wall (%.0f events/s), %.2f s CPU (%.0f events/s), %d host calls\n",
         n, e - s, n / (e - s), c, n / c, calls }'
