// SPDX-License-Identifier: GPL-3.0-or-later
// The registry, as far as the program needs one: string values under key
// paths, kept in $XDG_CONFIG_HOME/KvoPanoramics/registry.ini, one section
// per key ("[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion]")
// and one entry per value.
//
// The file is created on first use with the two values the program reads
// from a real Windows registry, SystemRoot and ProgramFilesDir, pointing
// into the default drive (whose folders are created with it).
//
// The key ...\CurrentVersion\Run (under any root) is not kept in that file:
// its values are what the desktop session starts at login, so each value is
// an XDG autostart entry $XDG_CONFIG_HOME/autostart/<value name>.desktop
// whose Exec line runs the value's command line.
//
// Key paths may start with a backslash or not; key paths and value names
// are compared without regard to letter case.
#pragma once

#include <string>
#include <string_view>

namespace kvo {

enum TRegRoot { HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS };

// "HKEY_LOCAL_MACHINE" and so on.
std::string RegRootName(TRegRoot Root);
// The registry file, created with its default values when missing.
std::string RegistryFile();
// $XDG_CONFIG_HOME/autostart/ with a trailing "/".
std::string AutostartFolder();

// One open key at a time, like the component the program was designed with.
// Reads of a missing value and writes that fail raise std::runtime_error.
class TRegistry {
 public:
  TRegistry() = default;
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  // Closes the open key, then opens KeyPath under Root; with CanCreate a
  // missing key is created. False when the key is missing and not created.
  bool OpenKey(TRegRoot Root, std::string_view KeyPath, bool CanCreate);
  // Opens an existing key for reading only: writes and deletes fail.
  bool OpenKeyReadOnly(TRegRoot Root, std::string_view KeyPath);
  // True when the key has values of its own or subkeys.
  bool KeyExists(TRegRoot Root, std::string_view KeyPath);
  bool ValueExists(std::string_view Name);
  // The value's data; raises std::runtime_error when no key is open or the
  // value is missing.
  std::string ReadString(std::string_view Name);
  // Stores the value (every string, blanks and quotes included, reads back
  // exactly). Raises std::runtime_error when no key is open, the key is
  // read-only, the name cannot be stored, or the file cannot be written.
  void WriteString(std::string_view Name, std::string_view Value);
  // True when the value existed and is gone.
  bool DeleteValue(std::string_view Name);
  void CloseKey();
  // The open key as "HKEY_...\path", empty when none is open.
  std::string CurrentPath() const { return Open_ ? Section_ : std::string(); }

 private:
  bool Open_ = false;
  bool ReadOnly_ = false;
  bool IsRun_ = false;
  std::string Section_;
};

}  // namespace kvo
