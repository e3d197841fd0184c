// SPDX-License-Identifier: GPL-3.0-or-later
// Test entry: every run gets its own XDG folders, so no test ever reads or
// writes the real configuration or data of the person running it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base/VCLUtils.h"
#include "tests/TestSupport.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string root = kvo::test::MakeTempFolder("kvo-test-");
  ::setenv("XDG_CONFIG_HOME", (root + "config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (root + "data").c_str(), 1);
  ::setenv("HOME", (root + "home").c_str(), 1);
  kvo::InstallSilentDialogs();
  int rc = RUN_ALL_TESTS();
  kvo::test::RemoveTree(root);
  return rc;
}
