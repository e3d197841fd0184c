// SPDX-License-Identifier: GPL-3.0-or-later
// Entry of the window tests: Qt's offscreen platform (unless a display is
// asked for, as for screenshots), and XDG folders of its own, so no test
// reads or writes the configuration of the person running it.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <string>

#include "base/VCLUtils.h"
#include "tests/TestSupport.h"

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  testing::InitGoogleTest(&argc, argv);
  std::string root = kvo::test::MakeTempFolder("kvo-uitest-");
  ::setenv("XDG_CONFIG_HOME", (root + "config").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (root + "data").c_str(), 1);
  ::setenv("HOME", (root + "home").c_str(), 1);
  int rc = 1;
  {
    QApplication app(argc, argv);
    kvo::InstallSilentDialogs();
    rc = RUN_ALL_TESTS();
  }
  kvo::test::RemoveTree(root);
  return rc;
}
