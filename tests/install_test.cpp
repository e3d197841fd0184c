// SPDX-License-Identifier: GPL-3.0-or-later
// What an installation brings beside the programs: the manual page of kvo
// describes every verb and option that `kvo --help` lists, and the bash
// completion offers the same verbs and options and the stored pictures.
// Both are read from the source tree, the help from the built kvo, so a new
// verb or option that is left out of either fails here.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/FormatTestSupport.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

const std::string kSource = std::string(KVO_SOURCE_DIR) + "/";

std::string Kvo(const std::string& Args) {
  return test::RunShell(test::ShellQuoted(KVO_CLI_PATH) + " " + Args + " 2>/dev/null </dev/null").Out;
}

// The subcommands and the long options a CLI11 help text lists.
struct THelp {
  std::vector<std::string> Verbs, Options;
};

THelp ParseHelp(const std::string& Text) {
  THelp h;
  std::istringstream in(Text);
  std::string line;
  bool verbs = false;
  static const std::regex option(R"(^\s+(?:-\w,)?(--[a-z][a-z0-9-]*))");
  static const std::regex verb(R"(^\s+([a-z][a-z0-9-]*)\s)");
  while (std::getline(in, line)) {
    std::smatch m;
    if (line.empty() || line.back() == ':') verbs = line == "Subcommands:" || line == "SUBCOMMANDS:";
    if (verbs && std::regex_search(line, m, verb)) h.Verbs.push_back(m[1]);
    if (!verbs && std::regex_search(line, m, option) && m[1] != "--help") h.Options.push_back(m[1]);
  }
  return h;
}

// Every verb path ("gallery create") with its help.
void CollectVerbs(const std::string& Path, std::vector<std::pair<std::string, THelp>>& Out) {
  THelp h = ParseHelp(Kvo(Path + " --help"));
  Out.emplace_back(Path, h);
  for (const std::string& v : h.Verbs) CollectVerbs(Path.empty() ? v : Path + " " + v, Out);
}

// The manual page as man shows its words: no font changes, "\-" as "-".
std::string ManText(const std::string& Page) {
  std::string roff = test::ReadWhole(kSource + "docs/man/" + Page);
  roff = std::regex_replace(roff, std::regex(R"(\\f[BIRP])"), "");
  return std::regex_replace(roff, std::regex(R"(\\-)"), "-");
}

// COMPREPLY of the completion for the words of a command line, the last
// being the word completed.
std::set<std::string> Complete(const std::vector<std::string>& Words) {
  std::string words;
  for (const std::string& w : Words) words += " " + test::ShellQuoted(w);
  const std::string script = "source " + test::ShellQuoted(kSource + "data/kvo.bash-completion") +
                             "; COMP_WORDS=(" + words + "); COMP_CWORD=" +
                             std::to_string(Words.size() - 1) +
                             "; _kvo; printf '%s\\n' \"${COMPREPLY[@]}\"";
  std::istringstream out(test::RunShell("bash -c " + test::ShellQuoted(script)).Out);
  std::set<std::string> items;
  for (std::string line; std::getline(out, line);)
    if (!line.empty()) items.insert(line);
  return items;
}

TEST(Installed, ManualPageOfKvoNamesEveryVerbAndOption) {
  std::vector<std::pair<std::string, THelp>> verbs;
  CollectVerbs("", verbs);
  ASSERT_GE(verbs.size(), 10u) << "the help lists too few verbs";
  const std::string man = ManText("kvo.1");
  for (const auto& [path, help] : verbs) {
    if (!path.empty()) {
      EXPECT_NE(man.find(".SS \"kvo " + path), std::string::npos) << path;
    }
    for (const std::string& option : help.Options)
      EXPECT_TRUE(std::regex_search(man, std::regex(option + "\\b")))
          << "kvo " << path << " " << option << " is not in kvo(1)";
  }
  for (const char* section : {".SH EXIT STATUS", ".SH ENVIRONMENT", ".SH FILES", ".SH EXAMPLES"})
    EXPECT_NE(man.find(section), std::string::npos) << section;
  const std::string app = ManText("kvopanoramics.1");
  for (const char* sw : {"/shuffle", "/uninst", ".SH FILES"})
    EXPECT_NE(app.find(sw), std::string::npos) << sw;
}

TEST(Installed, CompletionOffersTheVerbsOptionsAndStoredPictures) {
  std::vector<std::pair<std::string, THelp>> verbs;
  CollectVerbs("", verbs);
  const std::set<std::string> top = Complete({"kvo", ""});
  for (const std::string& v : verbs.front().second.Verbs) EXPECT_TRUE(top.count(v)) << v;
  for (const auto& [path, help] : verbs) {
    std::vector<std::string> words = {"kvo"};
    std::istringstream parts(path);
    for (std::string p; parts >> p;) words.push_back(p);
    words.push_back("--");
    const std::set<std::string> offered = Complete(words);
    for (const std::string& option : help.Options)
      EXPECT_TRUE(offered.count(option)) << "kvo " << path << " " << option;
  }
  EXPECT_EQ(Complete({"kvo", "add", "--mode", "c"}), std::set<std::string>{"crop"});

  // Stored picture names for the verbs that take them, file names by
  // extension for the verbs that read files.
  test::TTempDir dir;
  const std::string picture = test::DataFile("png/pngsuite/basn2c08.png");
  test::RunShell(test::ShellQuoted(KVO_CLI_PATH) + " add " + test::ShellQuoted(picture) +
                 " >/dev/null 2>&1");
  EXPECT_EQ(Complete({KVO_CLI_PATH, "set", "Cus"}), std::set<std::string>{"Custom--basn2c08"});
  EXPECT_EQ(Complete({KVO_CLI_PATH, "rename", "Custom--basn2c08", "C"}), std::set<std::string>{});
  test::WriteWhole(dir.Path("a.png"), "x");
  test::WriteWhole(dir.Path("b.txt"), "x");
  test::WriteWhole(dir.Path("c.gal"), "x");
  EXPECT_EQ(Complete({"kvo", "info", dir.Path("")}), std::set<std::string>{dir.Path("a.png")});
  EXPECT_EQ(Complete({"kvo", "gallery", "install", dir.Path("")}),
            std::set<std::string>{dir.Path("c.gal")});
}

}  // namespace
}  // namespace kvo
