// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a virtual machine is using a disk image right now, for the
// emulators that take no lock QEMU's or ours would meet: a process that
// holds the image open for writing (found from /proc/PID/fdinfo, touching
// no other process's files), a Bochs lock file, a VMware lock folder.
#pragma once

#include <string>

namespace kvo {

// Empty when nothing else uses the image open as Fd at Path; otherwise
// the words for the user, naming the program that holds it.
std::string ImageInUse(const std::string& Path, int Fd);

}  // namespace kvo
