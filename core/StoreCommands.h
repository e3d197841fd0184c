// SPDX-License-Identifier: GPL-3.0-or-later
// What the store commands say when a stored picture keeps its name: the
// window's Rename and Change Prefix and the kvo verbs name the picture and
// the cause alike.
#pragma once

#include <string>
#include <vector>

namespace kvo {

// Why the stored picture OldFileName may not become NewFileName (both with
// extension): a name too long to be listed whole, or one stored already.
// Empty when it may.
std::string RenameRefusal(const std::string& OldFileName, const std::string& NewFileName);
// The question Delete asks: the names of the pictures that go (the first
// fifteen of a longer list, then how many more) and where they go.
std::string DeleteQuestion(const std::vector<std::string>& Names, bool Permanently);
// A failed RenameStored's reason, from the errno it left.
std::string RenameFailure(int Errno);

}  // namespace kvo
