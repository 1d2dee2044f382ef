// The layering of src/: every top-level folder is one layer. This test reads
// every include of the tree and fails on a folder-level cycle and on an include
// that the table below does not allow. docs/architecture.md explains the table.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// What each folder may include besides itself. A folder missing here is an
// error: a new layer must be placed on purpose.
const std::map<std::string, std::set<std::string>>& Allowed() {
  static const std::map<std::string, std::set<std::string>> allowed = [] {
    std::map<std::string, std::set<std::string>> m;
    m["util"] = {};
    m["host"] = {"util"};
    m["settings"] = {"util"};
    m["events"] = {"util"};
    m["web"] = {"util", "host"};
    m["logs"] = {"util", "settings", "web"};
    m["storage"] = {"util", "host", "events", "settings", "logs", "web"};
    const std::set<std::string> rule = {"util", "host", "events", "settings",
                                        "logs", "web",  "storage"};
    m["membership"] = rule;
    m["moderation"] = rule;
    m["moderation"].insert("membership");
    m["tasks"] = rule;
    m["update"] = rule;
    m["automod"] = rule;
    m["automod"].insert("membership");
    m["core"] = rule;
    m["core"].insert({"membership", "moderation", "tasks", "update"});
    m["core"].insert("automod");
    m["onebot"] = m["core"];
    m["onebot"].insert("core");
    m["ui"] = m["core"];
    m["ui"].insert("core");
    m["dll"] = m["core"];
    m["dll"].insert({"core", "ui"});  // the plug-in serves the panel as its settings window
    return m;
  }();
  return allowed;
}

struct Include {
  std::string file;  // relative to src/
  int line = 0;
  std::string target;  // folder included
};

std::vector<Include> ReadIncludes(const fs::path& src, std::set<std::string>& folders) {
  static const std::regex kInclude(R"re(^\s*#\s*include\s+"([^"/]+)/[^"]+")re");
  std::vector<Include> out;
  for (const auto& entry : fs::recursive_directory_iterator(src)) {
    if (!entry.is_regular_file()) continue;
    const std::string ext = entry.path().extension().string();
    if (ext != ".h" && ext != ".cpp") continue;
    const std::string rel = fs::relative(entry.path(), src).generic_string();
    const std::string folder = rel.substr(0, rel.find('/'));
    folders.insert(folder);
    std::ifstream in(entry.path());
    std::string text;
    int number = 0;
    while (std::getline(in, text)) {
      ++number;
      std::smatch m;
      if (std::regex_search(text, m, kInclude)) out.push_back({rel, number, m[1].str()});
    }
  }
  return out;
}

// Depth-first search for a cycle; returns it as "a -> b -> a" or "".
std::string FindCycle(const std::map<std::string, std::set<std::string>>& edges) {
  std::map<std::string, int> state;  // 0 new, 1 on the path, 2 done
  std::vector<std::string> path;
  std::string found;
  std::function<bool(const std::string&)> visit = [&](const std::string& node) {
    state[node] = 1;
    path.push_back(node);
    auto it = edges.find(node);
    if (it != edges.end()) {
      for (const std::string& next : it->second) {
        if (state[next] == 1) {
          auto start = std::find(path.begin(), path.end(), next);
          for (auto p = start; p != path.end(); ++p) found += *p + " -> ";
          found += next;
          return true;
        }
        if (state[next] == 0 && visit(next)) return true;
      }
    }
    path.pop_back();
    state[node] = 2;
    return false;
  };
  for (const auto& [node, targets] : edges)
    if (state[node] == 0 && visit(node)) break;
  return found;
}

TEST(Layering, FolderGraphHasNoCycle) {
  std::set<std::string> folders;
  const std::vector<Include> includes = ReadIncludes(BW_SOURCE_DIR "/src", folders);
  ASSERT_FALSE(includes.empty());
  std::map<std::string, std::set<std::string>> edges;
  for (const Include& inc : includes) {
    const std::string from = inc.file.substr(0, inc.file.find('/'));
    if (from != inc.target && folders.count(inc.target)) edges[from].insert(inc.target);
  }
  EXPECT_EQ(FindCycle(edges), "");
}

TEST(Layering, EveryIncludeIsAllowed) {
  std::set<std::string> folders;
  const std::vector<Include> includes = ReadIncludes(BW_SOURCE_DIR "/src", folders);
  for (const std::string& folder : folders)
    EXPECT_TRUE(Allowed().count(folder)) << "src/" << folder << " has no place in the layers";
  for (const Include& inc : includes) {
    const std::string from = inc.file.substr(0, inc.file.find('/'));
    if (from == inc.target || !folders.count(inc.target)) continue;  // own or a system path
    auto it = Allowed().find(from);
    if (it == Allowed().end()) continue;
    EXPECT_TRUE(it->second.count(inc.target))
        << "src/" << inc.file << ":" << inc.line << " includes " << inc.target << "/";
  }
}

TEST(Layering, CycleFinderFindsACycle) {
  std::map<std::string, std::set<std::string>> edges;
  edges["a"] = {"b"};
  edges["b"] = {"c"};
  edges["c"] = {"a"};
  EXPECT_EQ(FindCycle(edges), "a -> b -> c -> a");
  edges["c"] = {};
  EXPECT_EQ(FindCycle(edges), "");
}

}  // namespace
