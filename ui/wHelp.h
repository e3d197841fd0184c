// SPDX-License-Identifier: GPL-3.0-or-later
// The program's own help window (the manual) and its About box, so that
// reading either needs no other program on the system.
#pragma once

#include <QDialog>

#include <string>

class QTextBrowser;

namespace kvo {

// The licence the program is given under, as the About box names it.
inline constexpr const char* LICENCE_TEXT =
    "KvoPanoramics is free software: you can redistribute it and/or modify it under the terms "
    "of the GNU General Public License as published by the Free Software Foundation, either "
    "version 3 of the License, or (at your option) any later version.";

class TfrmHelp : public QDialog {
  Q_OBJECT

 public:
  // Shows the HTML file Path; its links to places in it and to files beside
  // it are followed here, links to the web go to the web browser.
  explicit TfrmHelp(const std::string& Path, QWidget* Parent = nullptr);

  QTextBrowser* txtManual = nullptr;
};

// The help window with Path, reused (and brought to the front) when open.
TfrmHelp* ShowHelpWindow(const std::string& Path, QWidget* Parent);

class TfrmAbout : public QDialog {
  Q_OBJECT

 public:
  // ReadMe: the read-me file shown below name, version and licence; empty
  // when it was not found.
  explicit TfrmAbout(const std::string& ReadMe, QWidget* Parent = nullptr);
};

void ExecAboutBox(const std::string& ReadMe, QWidget* Parent);

}  // namespace kvo
