#include "settings/option_names.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>

#include "settings/settings_model.h"

namespace bw {
namespace {

namespace fs = std::filesystem;

TEST(OptionNames, EveryConstantNamesAControlAndEveryControlHasOne) {
  std::set<std::string> constants;
  for (const char* name : opt::kAll) {
    EXPECT_NE(Settings::Find(name), nullptr) << name << " is not in the option table";
    EXPECT_TRUE(constants.insert(name).second) << name << " is named twice";
  }
  for (const ControlSpec& control : Settings::Controls())
    EXPECT_TRUE(constants.count(control.name)) << control.name << " has no constant";
}

// Code names options through the constants: a control name spelt out anywhere
// else compiles even when misspelt, and silently reads nothing.
TEST(OptionNames, NoControlNameLiteralOutsideTheTable) {
  static const std::regex kLiteral("\"((选择框|编辑框|单选框|日期框)_[^\"]*|组合框1)\"");
  const fs::path src = BW_SOURCE_DIR "/src";
  const std::set<std::string> owners = {"settings/settings_model.cpp", "settings/option_names.h"};
  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(src)) {
    if (!entry.is_regular_file()) continue;
    const std::string rel = fs::relative(entry.path(), src).generic_string();
    if (owners.count(rel)) continue;
    ++files;
    std::ifstream in(entry.path());
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
      ++number;
      std::smatch m;
      EXPECT_FALSE(std::regex_search(line, m, kLiteral))
          << "src/" << rel << ":" << number << " spells out " << m[0].str();
    }
  }
  EXPECT_GT(files, 50);
}

}  // namespace
}  // namespace bw
