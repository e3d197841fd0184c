// SPDX-License-Identifier: GPL-3.0-or-later
// Reading strings and folders from the registry. None of these fail: every
// problem gives the default or empty text.
#pragma once

#include <string>
#include <string_view>

#include "platform/Registry.h"

namespace kvo {

// The string ValueName of the open Key; Default when it is missing or
// reading raises.
std::string RegReadStr(TRegistry& Key, std::string_view ValueName, std::string_view Default);
// Opens KeyPath under Root without creating it and reads ValueName; empty
// text when either is missing.
std::string RegGetString(TRegRoot Root, std::string_view KeyPath, std::string_view ValueName);
// A folder kept in the registry: "//" collapsed to "/" and a trailing "/"
// added. Empty text when the value is missing or empty.
std::string _GetRegistryFolder(TRegRoot Root, std::string_view KeyPath,
                               std::string_view ValueName);
// The program files folder ("ProgramFilesDir"), with a trailing "/".
std::string GetProgFilesFolder();

}  // namespace kvo
