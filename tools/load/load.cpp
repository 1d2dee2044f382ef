// brindle-warden-load: starts the real service against a scripted OneBot v11
// peer on 127.0.0.1, sends it a burst of group messages (some of them from
// violators, who must be kicked) and reports what came back: kicks received
// against kicks expected, events per second, the latency from a violator's
// message to its kick, and the service's peak resident memory. Faults on
// demand: a link cut in the middle of the burst, a slow or a silent
// implementation, garbage frames among the events, huge messages.
//
// The figures are the tool's own counts: a violator is a member whose message
// the tool sent with the advertising word, and each violator is expected to be
// kicked exactly once (a kick sent again after a cut counts once, and is shown
// among the kick frames). Exit status 0 when every violator was kicked and
// nobody else, 1 otherwise, 2 for bad options.
//
// Single-threaded apart from the peer's own thread.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "onebot/scripted_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

struct Options {
  std::string program;
  int64_t messages = 10000;
  int64_t every = 50;           // every Nth message is a new violator's
  bool fromConnection = false;  // send as soon as the link is up, startup or not
  int64_t cutAfter = -1;        // cut the link after this many messages
  int cutSeconds = 3;
  int slowMs = 0;            // answer each kick and message after this long
  bool silent = false;       // never answer a kick
  int64_t garbageEvery = 0;  // a garbage frame after every Nth message
  size_t messageBytes = 0;   // pad the violators' messages to this size
  int waitSeconds = 60;      // for the last kick
  bool keepHome = false;
  int listenPort = 0;  // wait there for a service started elsewhere
  // Many accounts in one process: each its own peer, groups and members.
  int accounts = 0;
  int groups = 500;
  int members = 200;
  int rate = 2000;  // events per second, all accounts together
  int seconds = 10;
};

const char* kUsage =
    "usage: brindle-warden-load --program PATH [options]\n"
    "  --messages N        group messages in the burst (10000)\n"
    "  --every N           every Nth message is a new violator's (50: 2 %)\n"
    "  --from-connection   send from the moment the link is up, not after the startup\n"
    "  --cut-after K       cut the link after K messages ...\n"
    "  --cut-seconds S     ... for S seconds (3)\n"
    "  --slow MS           answer each kick, message and read MS ms late\n"
    "  --silent            never answer a kick\n"
    "  --garbage N         a garbage frame after every Nth message\n"
    "  --message-bytes B   pad each violator's message to B bytes\n"
    "  --wait S            how long to wait for the last kick (60)\n"
    "  --keep-home         leave the service's home directory (its log is service.log)\n"
    "  --listen PORT       start no service: wait on 127.0.0.1:PORT for one started\n"
    "                      elsewhere (its account 10000 must manage group 100 with the\n"
    "                      advertising check on); no memory figures then\n"
    "  --accounts N        N accounts in one service, each with its own peer, its own\n"
    "                      --groups G managed groups (500) of --members M members (200);\n"
    "                      messages at --rate R events/s in total (2000) for --seconds S\n"
    "                      (10), every --every Nth a violator's\n";

std::optional<Options> Parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
      return argv[++i];
    };
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (a == "--program")
      o.program = value();
    else if (a == "--messages")
      o.messages = std::stoll(value());
    else if (a == "--every")
      o.every = std::stoll(value());
    else if (a == "--from-connection")
      o.fromConnection = true;
    else if (a == "--cut-after")
      o.cutAfter = std::stoll(value());
    else if (a == "--cut-seconds")
      o.cutSeconds = std::stoi(value());
    else if (a == "--slow")
      o.slowMs = std::stoi(value());
    else if (a == "--silent")
      o.silent = true;
    else if (a == "--garbage")
      o.garbageEvery = std::stoll(value());
    else if (a == "--message-bytes")
      o.messageBytes = std::stoull(value());
    else if (a == "--wait")
      o.waitSeconds = std::stoi(value());
    else if (a == "--keep-home")
      o.keepHome = true;
    else if (a == "--listen")
      o.listenPort = std::stoi(value());
    else if (a == "--accounts")
      o.accounts = std::stoi(value());
    else if (a == "--groups")
      o.groups = std::stoi(value());
    else if (a == "--members")
      o.members = std::stoi(value());
    else if (a == "--rate")
      o.rate = std::stoi(value());
    else if (a == "--seconds")
      o.seconds = std::stoi(value());
    else
      throw std::invalid_argument("unknown option " + a);
  }
  if ((o.program.empty() && o.listenPort == 0) || o.messages < 1 || o.every < 1)
    throw std::invalid_argument(
        "--program or --listen is needed; --messages and --every are at least 1");
  return o;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// The "VmHWM"/"VmRSS" line of /proc/PID/status, in KiB.
long MemoryKib(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with(field + ":")) return std::atol(line.c_str() + field.size() + 1);
  return -1;
}

// The CPU seconds (user and system) the process has used so far.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');  // the name may hold blanks
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The service with its output in HOME/service.log.
pid_t StartService(const Options& o, const std::string& home, const std::string& url) {
  const std::string log = home + "service.log";
  const pid_t pid = fork();
  if (pid == 0) {
    if (!std::freopen(log.c_str(), "w", stdout)) _exit(127);
    dup2(1, 2);
    execl(o.program.c_str(), o.program.c_str(), "run", "--home", home.c_str(), "--url", url.c_str(),
          "--no-panel", static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

bool WaitForLog(const std::string& home, const std::string& text, std::chrono::seconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (ReadFile(home + "service.log").find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

Json Message(int64_t id, int64_t member, const std::string& text) {
  return {{"time", 1765112709},      {"self_id", 10000},     {"post_type", "message"},
          {"message_type", "group"}, {"sub_type", "normal"}, {"message_id", id},
          {"group_id", 100},         {"user_id", member},    {"message", text}};
}

// Frames an implementation should never send; the service must log and drop
// them and go on. (Text frames that are no UTF-8 are not among them: WebSocket
// requires the link to be failed then, and the service reconnects.)
const std::vector<std::string> kGarbage = {
    "not json at all",
    "{\"post_type\":",
    "[1,2,3]",
    "{}",
    R"("\ud800 alone")",
    R"({"status":"ok","retcode":0,"data":null,"echo":"no-such-call"})",
    R"({"post_type":"message","message_type":"group","group_id":"x","user_id":-1})",
    R"({"post_type":"notice","notice_type":"unheard_of"})"};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t at = std::min(v.size() - 1, static_cast<size_t>(p / 100.0 * v.size()));
  return v[at];
}

int Run(const Options& o) {
  char dirTemplate[] = "/tmp/bw-load-XXXXXX";
  if (!mkdtemp(dirTemplate)) return std::perror("mkdtemp"), 1;
  const std::string home = std::string(dirTemplate) + "/";
  const std::string data = home + "data/10000/";
  std::filesystem::create_directories(data);
  // Account 10000 manages group 100 with the advertising check on.
  WriteFile(data + "群列表.txt", "{1}1----100----load----群主\r\n");
  WriteFile(data + "setsoft.ini", "[选择框]\r\n选择框_开启广告检测=真\r\n");

  bw::test::ScriptedPeer peer("", bw::test::ScriptedPeer::BadToken::kHttp403,
                              static_cast<uint16_t>(o.listenPort));
  peer.answer("get_login_info", Json{{"user_id", 10000}, {"nickname", "load"}});
  if (o.slowMs > 0) {
    peer.delay("set_group_kick", std::chrono::milliseconds(o.slowMs));
    peer.delay("send_group_msg", std::chrono::milliseconds(o.slowMs));
    // Reads too: a kick path that asked who the robot is would wait for it.
    for (const char* read : {"get_login_info", "get_group_member_list", "get_group_member_info"})
      peer.delay(read, std::chrono::milliseconds(o.slowMs));
  }
  if (o.silent) peer.neverAnswer("set_group_kick");

  const bool external = o.listenPort != 0;
  const pid_t pid = external ? -1 : StartService(o, home, peer.url());
  if (external) std::printf("load: waiting on %s for the service\n", peer.url().c_str());
  if (!peer.waitForConnections(1, external ? 120s : 30s)) {
    std::fprintf(stderr, "load: the service never connected; see %sservice.log\n", home.c_str());
    if (pid > 0) kill(pid, SIGKILL);
    return 1;
  }
  if (!o.fromConnection && !external && !WaitForLog(home, "全部勾选群 群成员 获取完毕", 30s)) {
    std::fprintf(stderr, "load: the service's startup did not finish; see %sservice.log\n",
                 home.c_str());
    if (pid > 0) kill(pid, SIGKILL);
    return 1;
  }

  std::string filler;
  if (o.messageBytes > 0) filler.assign(o.messageBytes, 'a');
  std::map<int64_t, Clock::time_point> violators;  // member -> when the message went
  int64_t garbage = 0;
  Clock::duration cut{0};  // from the cut to the reconnection
  const auto start = Clock::now();
  for (int64_t i = 0; i < o.messages; ++i) {
    if (i == o.cutAfter) {
      // The frames already queued still reach the service; then the link ends
      // and the implementation refuses to reconnect for a while.
      const auto cutAt = Clock::now();
      peer.setAccepting(false);
      peer.dropClientAfterWrites();
      std::this_thread::sleep_for(std::chrono::seconds(o.cutSeconds));
      peer.setAccepting(true);
      if (!peer.waitForConnections(2, 60s)) {
        std::fprintf(stderr, "load: the service did not come back after the cut\n");
        break;
      }
      cut = Clock::now() - cutAt;
    }
    const bool violating = i % o.every == o.every - 1;
    // From 2,000,000 up: 1,000,000 is an administrator from the start.
    const int64_t member = violating ? 2000000 + i : 20000 + i % 7;
    std::string text = violating ? "加我微信" : "大家好";
    if (violating && filler.size() > text.size()) text += filler.substr(text.size());
    if (violating) violators[member] = Clock::now();
    peer.send(Message(i + 1, member, text));
    if (o.garbageEvery > 0 && i % o.garbageEvery == o.garbageEvery - 1) {
      peer.sendRaw(kGarbage[garbage++ % kGarbage.size()]);
    }
  }
  const auto sent = Clock::now();

  // Kicks: the first for each member counts; the rest are repeats.
  std::map<int64_t, Clock::time_point> kicked;
  size_t kickFrames = 0;
  auto collect = [&] {
    kicked.clear();
    kickFrames = 0;
    for (const auto& r : peer.received()) {
      if (r.frame.value("action", "") != "set_group_kick") continue;
      ++kickFrames;
      kicked.emplace(r.frame["params"].value("user_id", int64_t{0}), r.at);
    }
  };
  const auto end = sent + std::chrono::seconds(o.waitSeconds);
  for (collect(); Clock::now() < end; collect()) {
    bool all = true;
    for (const auto& v : violators) all = all && kicked.contains(v.first);
    if (all) break;
    std::this_thread::sleep_for(50ms);
  }
  std::this_thread::sleep_for(300ms);  // a late repeat or stray kick would show now
  collect();

  long hwm = -1, rss = -1;
  bool alive = true;
  int status = 0;
  if (!external) {
    hwm = MemoryKib(pid, "VmHWM");
    rss = MemoryKib(pid, "VmRSS");
    alive = waitpid(pid, nullptr, WNOHANG) == 0;
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
  }

  std::vector<double> latencies;
  size_t kickedViolators = 0, strays = 0;
  Clock::time_point lastKick = start;
  for (const auto& [member, at] : kicked) {
    auto v = violators.find(member);
    if (v == violators.end()) {
      ++strays;
      continue;
    }
    ++kickedViolators;
    latencies.push_back(std::chrono::duration<double, std::milli>(at - v->second).count());
    lastKick = std::max(lastKick, at);
  }
  const double sendMs = std::chrono::duration<double, std::milli>(sent - start).count();
  const double handledMs = std::chrono::duration<double, std::milli>(lastKick - start).count();
  const double cutMs = std::chrono::duration<double, std::milli>(cut).count();
  const std::string log = ReadFile(home + "service.log");
  auto count = [&](const std::string& text) {
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  };

  std::printf("messages sent:        %lld in %.0f ms (%lld garbage frames among them)\n",
              static_cast<long long>(o.messages), sendMs, static_cast<long long>(garbage));
  std::printf("violators in burst:   %zu (every %lld%s message)\n", violators.size(),
              static_cast<long long>(o.every), o.every == 1 ? "st" : "th");
  std::printf("kicks received:       %zu of %zu expected (%zu kick frames; %zu of others)\n",
              kickedViolators, violators.size(), kickFrames, strays);
  if (cutMs > 0) {
    std::printf("events/s:             not measured: the link was down %.0f ms of the %.0f ms\n",
                cutMs, handledMs);
  } else if (kickedViolators > 0 && o.messages % o.every == 0) {
    // The burst's last message is a violator's: its kick ends the handling.
    std::printf("events/s:             %.0f (%lld messages, first sent to last kick %.0f ms)\n",
                o.messages * 1000.0 / std::max(handledMs, 1.0), static_cast<long long>(o.messages),
                handledMs);
  }
  std::string missing;
  for (const auto& v : violators)
    if (!kicked.contains(v.first) && missing.size() < 200)
      missing += " " + std::to_string(v.first - 2000000 + 1);
  if (!missing.empty())
    std::printf("never kicked:         the violators of messages%s\n", missing.c_str());
  std::printf("latency event->kick:  p50 %.0f ms, p99 %.0f ms, max %.0f ms\n",
              Percentile(latencies, 50), Percentile(latencies, 99),
              latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()));
  if (!external) {
    std::printf("service memory:       peak %.1f MiB (VmHWM), %.1f MiB at the end (VmRSS)\n",
                hwm / 1024.0, rss / 1024.0);
  }
  if (external) {
    std::printf("service:              started elsewhere; reconnections %d\n", peer.upgrades() - 1);
  } else {
    std::printf(
        "service:              %s; reconnections %d; kicks it reported failed %zu; "
        "exit status %d after SIGTERM\n",
        alive ? "alive at the end" : "DIED during the run", peer.upgrades() - 1, count("踢人失败"),
        WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  }
  if (o.keepHome) {
    std::printf("home kept:            %s\n", home.c_str());
  } else {
    std::filesystem::remove_all(home);
  }
  const bool ok = alive && kickedViolators == violators.size() && strays == 0 &&
                  WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::printf("%s\n", ok ? "load: OK" : "load: FAILED");
  return ok ? 0 : 1;
}

// The service of many accounts: one peer per account, each account managing
// its own groups, messages spread over all of them at a steady total rate.
int RunAccounts(const Options& o) {
  char dirTemplate[] = "/tmp/bw-load-XXXXXX";
  if (!mkdtemp(dirTemplate)) return std::perror("mkdtemp"), 1;
  const std::string home = std::string(dirTemplate) + "/";
  std::vector<std::unique_ptr<bw::test::ScriptedPeer>> peers;
  std::string config;
  for (int a = 0; a < o.accounts; ++a) {
    const int64_t account = 100000 + a;
    const std::string data = home + "data/" + std::to_string(account) + "/";
    std::filesystem::create_directories(data);
    std::string list;
    for (int g = 0; g < o.groups; ++g) {
      const int64_t group = account * 1000 + g;
      list += "{1}" + std::to_string(g + 1) + "----" + std::to_string(group) + "----load" +
              std::to_string(g) + "----群主\r\n";
    }
    WriteFile(data + "群列表.txt", list);
    WriteFile(data + "setsoft.ini", "[选择框]\r\n选择框_开启广告检测=真\r\n");
    auto peer = std::make_unique<bw::test::ScriptedPeer>();
    peer->answer("get_login_info", Json{{"user_id", account}, {"nickname", "load"}});
    const int members = o.members;
    peer->answer("get_group_member_list", [account, members](const Json& params) {
      const int64_t group = params.value("group_id", int64_t{0});
      Json list = Json::array();
      list.push_back({{"group_id", group}, {"user_id", account}, {"role", "owner"}});
      for (int m = 1; m < members; ++m)
        list.push_back({{"group_id", group},
                        {"user_id", 5000000 + m},
                        {"nickname", "m" + std::to_string(m)},
                        {"role", "member"}});
      return std::optional<Json>(list);
    });
    config += "[account " + std::to_string(account) + "]\nurl=" + peer->url() + "\n";
    peers.push_back(std::move(peer));
  }
  WriteFile(home + "brindle-warden.ini", config);
  const std::string log = home + "service.log";
  const pid_t pid = fork();
  if (pid == 0) {
    if (!std::freopen(log.c_str(), "w", stdout)) _exit(127);
    dup2(1, 2);
    execl(o.program.c_str(), o.program.c_str(), "run", "--home", home.c_str(), "--no-panel",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  // Every account's startup, its member refresh included, before the burst.
  const auto startAt = Clock::now();
  auto startedUp = [&] {
    const std::string text = ReadFile(log);
    size_t n = 0;
    for (size_t at = text.find("群成员 获取完毕"); at != std::string::npos;
         at = text.find("群成员 获取完毕", at + 1))
      ++n;
    return n >= static_cast<size_t>(o.accounts);
  };
  while (!startedUp() && Clock::now() - startAt < 600s) std::this_thread::sleep_for(100ms);
  const double startupMs =
      std::chrono::duration<double, std::milli>(Clock::now() - startAt).count();
  if (!startedUp()) {
    std::fprintf(stderr, "load: the accounts did not all start up; see %s\n", log.c_str());
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return 1;
  }
  // The last account's refresh ends with work of its own (the administrators
  // reloaded from every member row): the burst measures the service settled,
  // not the tail of its start-up.
  const auto settleFrom = Clock::now();
  for (double before = CpuSeconds(pid); Clock::now() - settleFrom < 30s;) {
    std::this_thread::sleep_for(500ms);
    const double now = CpuSeconds(pid);
    if (now - before < 0.05) break;
    before = now;
  }
  const double settleS = std::chrono::duration<double>(Clock::now() - settleFrom).count();
  const long idleRss = MemoryKib(pid, "VmRSS");
  const double cpuBefore = CpuSeconds(pid);

  // Paced in slices of 10 ms, round-robin over the accounts and their groups.
  const int64_t total = static_cast<int64_t>(o.rate) * o.seconds;
  std::vector<std::map<int64_t, Clock::time_point>> violators(o.accounts);
  const auto start = Clock::now();
  long peakRss = idleRss;
  for (int64_t i = 0; i < total; ++i) {
    const auto due = start + std::chrono::microseconds(i * 1000000 / o.rate);
    if (Clock::now() < due) std::this_thread::sleep_until(due);
    if (i % 1000 == 0) peakRss = std::max(peakRss, MemoryKib(pid, "VmRSS"));
    const int a = static_cast<int>(i % o.accounts);
    const int64_t account = 100000 + a;
    const int64_t group = account * 1000 + (i / o.accounts) % o.groups;
    // Counted per account, so that every account has its violators.
    const bool violating = (i / o.accounts) % o.every == o.every - 1;
    const int64_t member = violating ? 2000000 + i : 5000000 + 1 + i % (o.members - 1);
    Json m = Message(i + 1, member, violating ? "加我微信" : "大家好");
    m["self_id"] = account;
    m["group_id"] = group;
    if (violating) violators[a][member] = Clock::now();
    peers[a]->send(std::move(m));
  }
  const auto sent = Clock::now();
  std::vector<double> latencies;
  size_t expected = 0, kicked = 0;
  for (const auto& v : violators) expected += v.size();
  const auto end = sent + std::chrono::seconds(o.waitSeconds);
  struct Kick {
    double ms, sentAtS;
    int account;
  };
  std::vector<Kick> slowest;  // a tail that clusters in time points at a pause, not a cost
  while (true) {
    latencies.clear();
    slowest.clear();
    kicked = 0;
    for (int a = 0; a < o.accounts; ++a) {
      std::map<int64_t, Clock::time_point> first;
      for (const auto& r : peers[a]->received())
        if (r.frame.value("action", "") == "set_group_kick")
          first.emplace(r.frame["params"].value("user_id", int64_t{0}), r.at);
      for (const auto& [member, at] : first) {
        auto v = violators[a].find(member);
        if (v == violators[a].end()) continue;
        ++kicked;
        latencies.push_back(std::chrono::duration<double, std::milli>(at - v->second).count());
        slowest.push_back(
            {latencies.back(), std::chrono::duration<double>(v->second - start).count(), a});
      }
    }
    if (kicked == expected || Clock::now() >= end) break;
    std::this_thread::sleep_for(100ms);
  }
  peakRss = std::max(peakRss, MemoryKib(pid, "VmRSS"));
  const long hwm = MemoryKib(pid, "VmHWM");
  const double burstCpu = CpuSeconds(pid) - cpuBefore;
  const bool alive = waitpid(pid, nullptr, WNOHANG) == 0;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  const double sendS = std::chrono::duration<double>(sent - start).count();
  std::printf("accounts:             %d in one service, %d groups of %d members each\n", o.accounts,
              o.groups, o.members);
  std::printf(
      "startup:              %.1f s until every account had its member lists, "
      "settled %.1f s later\n",
      startupMs / 1000, settleS);
  std::printf("messages sent:        %lld in %.1f s (%.0f events/s in total)\n",
              static_cast<long long>(total), sendS, total / std::max(sendS, 0.001));
  std::printf("kicks received:       %zu of %zu expected\n", kicked, expected);
  std::printf("latency event->kick:  p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
              Percentile(latencies, 50), Percentile(latencies, 99),
              latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()));
  std::printf("service CPU:          %.2f s during the burst and its drain\n", burstCpu);
  std::sort(slowest.begin(), slowest.end(),
            [](const Kick& x, const Kick& y) { return x.ms > y.ms; });
  std::printf("slowest kicks:       ");
  for (size_t k = 0; k < std::min<size_t>(slowest.size(), 8); ++k)
    std::printf(" %.1f ms (account %d, sent at %.2f s)", slowest[k].ms, 100000 + slowest[k].account,
                slowest[k].sentAtS);
  std::printf("\n");
  std::printf(
      "service memory:       %.1f MiB resident when started up, %.1f MiB at most during the "
      "burst (VmRSS sampled), %.1f MiB peak ever (VmHWM, the startup's member lists included)\n",
      idleRss / 1024.0, peakRss / 1024.0, hwm / 1024.0);
  std::printf("service:              %s; exit status %d after SIGTERM\n",
              alive ? "alive at the end" : "DIED during the run",
              WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  if (o.keepHome)
    std::printf("home kept:            %s\n", home.c_str());
  else
    std::filesystem::remove_all(home);
  const bool ok = alive && kicked == expected && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::printf("%s\n", ok ? "load: OK" : "load: FAILED");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // The services it starts look nothing up on the QQ web: their lookups go to
  // a closed loopback port (unless the caller chose a base).
  ::setenv("BW_WEB_BASE", "http://127.0.0.1:9", 0);
  std::optional<Options> o;
  try {
    o = Parse(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "load: %s\n%s", e.what(), kUsage);
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  if (o->accounts > 0) {
    if (o->program.empty() || o->accounts > 50 || o->groups < 1 || o->members < 2 || o->rate < 1 ||
        o->seconds < 1) {
      std::fprintf(stderr,
                   "load: --accounts needs --program, at most 50 accounts, --groups >= 1, "
                   "--members >= 2, --rate and --seconds >= 1\n");
      return 2;
    }
    return RunAccounts(*o);
  }
  return Run(*o);
}
