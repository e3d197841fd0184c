// SPDX-License-Identifier: GPL-3.0-or-later
// The registry stand-in: registry.ini, the Run key as autostart entries, and
// the two command-line dialects that meet there.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/Folders.h"
#include "platform/ProfileFile.h"
#include "platform/Registry.h"
#include "tests/TestSupport.h"

namespace kvo {
namespace {

using Args = std::vector<std::string>;
constexpr const char* kCurrentVersion = "\\Software\\Microsoft\\Windows\\CurrentVersion";
constexpr const char* kRun = "\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// The line of Bytes that starts with Prefix, without its line end.
std::string LineStarting(const std::string& Bytes, const std::string& Prefix) {
  size_t at = Bytes.find("\n" + Prefix);
  if (at == std::string::npos) return {};
  size_t end = Bytes.find('\n', at + 1);
  return Bytes.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

TEST(RegistryFile, IsCreatedOnFirstUseWithTheDefaultDrive) {
  test::ScopedXdg xdg;
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKeyReadOnly(HKEY_LOCAL_MACHINE, kCurrentVersion));
  EXPECT_EQ(reg.ReadString("SystemRoot"), DefaultDriveFolder() + "WINDOWS");
  EXPECT_EQ(reg.ReadString("programfilesdir"), DefaultDriveFolder() + "Program Files");
  EXPECT_TRUE(FolderExists(DefaultDriveFolder() + "WINDOWS"));
  EXPECT_TRUE(FolderExists(DefaultDriveFolder() + "Program Files"));
  EXPECT_EQ(RegistryFile(), xdg.Root() + "config/KvoPanoramics/registry.ini");
  EXPECT_EQ(ProfileSections(RegistryFile()),
            (Args{"HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion"}));
  EXPECT_THROW(reg.WriteString("SystemRoot", "/elsewhere"), std::runtime_error);  // read-only
}

TEST(RegistryKeys, OpenCreateAndFindKeysWhateverTheirSpelling) {
  test::ScopedXdg xdg;
  TRegistry reg;
  EXPECT_TRUE(reg.KeyExists(HKEY_LOCAL_MACHINE, "software\\MICROSOFT"));  // a parent key
  EXPECT_FALSE(reg.KeyExists(HKEY_CURRENT_USER, kCurrentVersion));
  EXPECT_FALSE(reg.OpenKey(HKEY_CURRENT_USER, "\\Software\\Kvo", false));
  ASSERT_TRUE(reg.OpenKey(HKEY_CURRENT_USER, "\\Software\\\\Kvo\\", true));
  EXPECT_EQ(reg.CurrentPath(), "HKEY_CURRENT_USER\\Software\\Kvo");
  EXPECT_TRUE(reg.KeyExists(HKEY_CURRENT_USER, "SOFTWARE\\kvo"));

  // Values keep leading blanks and quotes that a profile line would lose.
  const Args values = {"plain", "  padded  ", "\"quoted\"", "'single'", ""};
  for (size_t i = 0; i < values.size(); ++i)
    reg.WriteString("V" + std::to_string(i), values[i]);
  reg.CloseKey();
  ASSERT_TRUE(reg.OpenKey(HKEY_CURRENT_USER, "software\\KVO", false));
  for (size_t i = 0; i < values.size(); ++i)
    EXPECT_EQ(reg.ReadString("v" + std::to_string(i)), values[i]) << i;

  EXPECT_THROW(reg.ReadString("Missing"), std::runtime_error);
  EXPECT_THROW(reg.WriteString("Two\nLines", "x"), std::runtime_error);
  EXPECT_TRUE(reg.DeleteValue("V0"));
  EXPECT_FALSE(reg.DeleteValue("V0"));
  EXPECT_FALSE(reg.ValueExists("V0"));
  reg.CloseKey();
  EXPECT_FALSE(reg.ValueExists("V1"));
  EXPECT_THROW(reg.ReadString("V1"), std::runtime_error);
}

TEST(RegistryKeys, HandEditsOfTheFileSurviveWrites) {
  test::ScopedXdg xdg;
  std::string file = RegistryFile();
  std::string edited = test::ReadWhole(file) + "\r\n; my notes\r\n[HKEY_USERS\\X]\r\nA=1\r\n";
  test::WriteWhole(file, edited);
  TRegistry reg;
  ASSERT_TRUE(reg.OpenKey(HKEY_LOCAL_MACHINE, kCurrentVersion, true));
  reg.WriteString("SystemRoot", "/mnt/win98/WINDOWS");
  std::string expected = edited;
  expected.replace(expected.find(DefaultDriveFolder() + "WINDOWS"),
                   (DefaultDriveFolder() + "WINDOWS").size(), "/mnt/win98/WINDOWS");
  EXPECT_EQ(test::ReadWhole(file), expected);
}

class RunKeyTest : public testing::Test {
 protected:
  std::string EntryFile() const { return AutostartFolder() + "KvoPanoramics.desktop"; }
  std::string Entry() const { return test::ReadWhole(EntryFile()); }
  test::ScopedXdg xdg_;
  TRegistry reg_;
};

TEST_F(RunKeyTest, AValueIsAnAutostartEntryThatRunsItsCommandLine) {
  ASSERT_TRUE(reg_.OpenKey(HKEY_LOCAL_MACHINE, kRun, true));
  reg_.WriteString("KvoPanoramics", "/usr/bin/kvopanoramics /shuffle");
  ASSERT_TRUE(FileExists(xdg_.Root() + "config/autostart/KvoPanoramics.desktop"));
  std::string entry = Entry();
  EXPECT_EQ(entry.find('\r'), std::string::npos);
  EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
  EXPECT_EQ(LineStarting(entry, "Type="), "Type=Application");
  EXPECT_EQ(LineStarting(entry, "Name="), "Name=KvoPanoramics");
  EXPECT_EQ(LineStarting(entry, "Exec="), "Exec=/usr/bin/kvopanoramics /shuffle");
  EXPECT_EQ(LineStarting(entry, "X-GNOME-Autostart-enabled="), "X-GNOME-Autostart-enabled=true");
  EXPECT_TRUE(reg_.ValueExists("kvopanoramics"));
  EXPECT_EQ(reg_.ReadString("KvoPanoramics"), "/usr/bin/kvopanoramics /shuffle");
  EXPECT_EQ(test::ReadWhole(RegistryFile()).find("Run"), std::string::npos);

  EXPECT_TRUE(reg_.DeleteValue("KVOPANORAMICS"));
  EXPECT_FALSE(FileExists(EntryFile()));
  EXPECT_FALSE(reg_.ValueExists("KvoPanoramics"));
  EXPECT_FALSE(reg_.DeleteValue("KvoPanoramics"));
}

TEST_F(RunKeyTest, ProgramPathsWithBlanksRunAndReadBackExactly) {
  ASSERT_TRUE(reg_.OpenKey(HKEY_LOCAL_MACHINE, kRun, true));
  const std::string quoted = "\"/opt/Kvo Panoramics/kvopanoramics\" /shuffle";
  reg_.WriteString("KvoPanoramics", quoted);
  EXPECT_EQ(LineStarting(Entry(), "Exec="),
            "Exec=\"/opt/Kvo Panoramics/kvopanoramics\" /shuffle");
  EXPECT_EQ(reg_.ReadString("KvoPanoramics"), quoted);

  // Without quotes, as the program writes its own value, the path is found
  // the way Windows finds it: the shortest prefix up to a blank that exists.
  std::string folder = xdg_.Root() + "My Apps/";
  ASSERT_TRUE(EnsureFolder(folder));
  test::WriteWhole(folder + "kvopanoramics", "");
  const std::string bare = folder + "kvopanoramics /shuffle";
  reg_.WriteString("KvoPanoramics", bare);
  EXPECT_EQ(LineStarting(Entry(), "Exec="),
            "Exec=\"" + folder + "kvopanoramics\" /shuffle");
  EXPECT_EQ(reg_.ReadString("KvoPanoramics"), bare);
}

TEST_F(RunKeyTest, ShellCharactersAreQuotedAndHandEditsWin) {
  ASSERT_TRUE(reg_.OpenKey(HKEY_CURRENT_USER, "software\\microsoft\\windows\\currentversion\\RUN",
                           true));
  reg_.WriteString("KvoPanoramics", "/bin/kvo \"100% $HOME\" a\\b");
  EXPECT_EQ(LineStarting(Entry(), "Exec="),
            "Exec=/bin/kvo \"100%% \\\\$HOME\" \"a\\\\\\\\b\"");
  EXPECT_EQ(reg_.ReadString("KvoPanoramics"), "/bin/kvo \"100% $HOME\" a\\b");

  std::string entry = Entry();
  std::string exec = LineStarting(entry, "Exec=");
  entry.replace(entry.find(exec), exec.size(), "Exec=/usr/bin/other --flag %U");
  test::WriteWhole(EntryFile(), entry);
  EXPECT_EQ(reg_.ReadString("KvoPanoramics"), "/usr/bin/other --flag");
}

TEST_F(RunKeyTest, ValueNamesNeverLeaveTheAutostartFolder) {
  ASSERT_TRUE(reg_.OpenKey(HKEY_LOCAL_MACHINE, kRun, true));
  for (const char* name : {"../escape", "sub/entry", ".", "..", ""}) {
    EXPECT_THROW(reg_.WriteString(name, "/bin/true"), std::runtime_error) << name;
    EXPECT_FALSE(reg_.ValueExists(name)) << name;
    EXPECT_FALSE(reg_.DeleteValue(name)) << name;
  }
  EXPECT_FALSE(FileExists(xdg_.Root() + "config/escape.desktop"));
  reg_.CloseKey();
  ASSERT_TRUE(reg_.OpenKeyReadOnly(HKEY_LOCAL_MACHINE, kRun));
  EXPECT_THROW(reg_.WriteString("KvoPanoramics", "/bin/true"), std::runtime_error);
}

TEST(WindowsCommandLine, SplitsAsTheCRuntimeDoes) {
  // The argument rules, with the classic cases of the C runtime's documentation.
  EXPECT_EQ(SplitArguments("\"a b c\"  d e"), (Args{"a b c", "d", "e"}));
  EXPECT_EQ(SplitArguments("\"ab\\\"c\"  \"\\\\\"  d"), (Args{"ab\"c", "\\", "d"}));
  EXPECT_EQ(SplitArguments("a\\\\\\b d\"e f\"g h"), (Args{"a\\\\\\b", "de fg", "h"}));
  EXPECT_EQ(SplitArguments("a\\\\\\\"b c d"), (Args{"a\\\"b", "c", "d"}));
  EXPECT_EQ(SplitArguments("a\\\\\\\\\"b c\" d e"), (Args{"a\\\\b c", "d", "e"}));
  EXPECT_EQ(SplitArguments("\"a\"\"b\" \"\""), (Args{"a\"b", ""}));
  // The program name: backslashes are plain and quotes only delimit.
  EXPECT_EQ(SplitCommandLine("  \"C:\\Program Files\\kvo.exe\" /shuffle "),
            (Args{"C:\\Program Files\\kvo.exe", "/shuffle"}));
  EXPECT_EQ(SplitCommandLine("C:\\kvo\\\"x /a"), (Args{"C:\\kvo\\\"x", "/a"}));
  EXPECT_EQ(SplitCommandLine(" \t "), Args{});
}

TEST(WindowsCommandLine, JoinIsTheInverseOfSplit) {
  const std::vector<Args> cases = {
      {"/usr/bin/kvopanoramics", "/shuffle"},
      {"/opt/with blank/prog", "", "two words", "quote\"inside", "ends\\", "\\\"both\\\\"},
      {"", "tab\there", "a\\\\b"},
  };
  for (const Args& a : cases) EXPECT_EQ(SplitCommandLine(JoinCommandLine(a)), a);
  EXPECT_EQ(JoinCommandLine({"/opt/a b/p", "x y", "z\\"}), "\"/opt/a b/p\" \"x y\" z\\");
}

TEST(DesktopExec, QuotesReservedCharactersAndRoundTrips) {
  EXPECT_EQ(DesktopExecLine({"/usr/bin/kvo", "/shuffle"}), "/usr/bin/kvo /shuffle");
  EXPECT_EQ(DesktopExecLine({"/a b/c", "", "it's"}), "\"/a b/c\" \"\" \"it's\"");
  // A literal backslash inside quotes is four backslashes in the file.
  EXPECT_EQ(DesktopExecLine({"x\\y"}), "\"x\\\\\\\\y\"");
  EXPECT_EQ(DesktopExecLine({"tab\tnew\nline"}), "\"tab\\tnew\\nline\"");
  EXPECT_EQ(DesktopExecLine({" lead"}), "\" lead\"");
  EXPECT_EQ(DesktopEscapeString("  two"), "\\s\\stwo");
  const std::vector<Args> cases = {
      {"/usr/bin/kvopanoramics", "/shuffle"},
      {"/p", "$HOME", "`cmd`", "\"q\"", "a\\b", "50%", "%U", "~", "a=b", ";|&<>*?#()"},
      {"/p", "line\nbreak", "\r\t", " lead", "trail "},
  };
  for (const Args& a : cases) EXPECT_EQ(DesktopExecArgs(DesktopExecLine(a)), a);
}

TEST(DesktopExec, ReadsEntriesOtherProgramsWrote) {
  EXPECT_EQ(DesktopExecArgs("firefox %u"), (Args{"firefox"}));
  EXPECT_EQ(DesktopExecArgs("sh -c \"echo \\$X\" %F"), (Args{"sh", "-c", "echo $X"}));
  EXPECT_EQ(DesktopExecArgs("app --rate=100%%"), (Args{"app", "--rate=100%"}));
  EXPECT_EQ(DesktopExecArgs("\"unterminated arg"), (Args{"unterminated arg"}));
  EXPECT_EQ(DesktopExecArgs("trailing %"), (Args{"trailing", "%"}));
}

}  // namespace
}  // namespace kvo
