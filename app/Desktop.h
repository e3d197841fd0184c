// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop window of KvoPanoramics: what a start without a recognised
// command-line switch runs.
#pragma once

namespace kvo {

// Runs the desktop program and returns its exit status.
int RunDesktop(int argc, char** argv);

}  // namespace kvo
