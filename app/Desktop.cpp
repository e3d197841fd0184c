// SPDX-License-Identifier: GPL-3.0-or-later
// The desktop window: the module the program loads when a start shows the
// window (see DesktopLoader.cpp). It holds the Qt application and the
// windows; the core it works on is the program's.
#include <cstdio>
#include <cstdlib>

#ifdef KVO_HAS_GUI
#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <exception>
#include <string>
#include <vector>

#include <unistd.h>

#include "base/Errors.h"
#include "base/VCLUtils.h"
#include "core/StoreDrop.h"
#include "ui/VCLUtils_qt.h"
#include "ui/wMain.h"
#endif

namespace kvo {

#ifdef KVO_HAS_GUI
namespace {

// The application object. Every handler of the window already runs its
// work in a keeping frame; this is the last guard, so that no exception
// ever unwinds through Qt's event loop, which is not made for it.
class TKvoApplication : public QApplication {
 public:
  using QApplication::QApplication;

  bool notify(QObject* Receiver, QEvent* Event) override {
    try {
      return QApplication::notify(Receiver, Event);
    } catch (...) {
      Report_(DescribeException(std::current_exception()));
      return false;
    }
  }

 private:
  // A failure while the box for the last one is up goes to standard error,
  // so one fault cannot stack boxes without end.
  void Report_(const std::string& Text) {
    if (reporting_) {
      std::fprintf(stderr, "kvopanoramics: %s\n", Text.c_str());
      return;
    }
    reporting_ = true;
    try {
      ShowError(Text);
    } catch (...) {
      std::fprintf(stderr, "kvopanoramics: %s\n", Text.c_str());
    }
    reporting_ = false;
  }

  bool reporting_ = false;
};

// A termination request (the session ending, kill, Ctrl+C) ends the event
// loop the ordinary way, so the end sequence still saves the settings and
// the marks. The handler only writes a byte; the loop reads it.
int gSignalPipe[2] = {-1, -1};

void OnTerminate(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(gSignalPipe[1], &byte, 1);
}

void QuitOnTermination(QApplication& App) {
  if (::pipe(gSignalPipe) != 0) return;
  auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, &App);
  QObject::connect(notifier, &QSocketNotifier::activated, &App, [] {
    char byte = 0;
    [[maybe_unused]] ssize_t n = ::read(gSignalPipe[0], &byte, 1);
    QApplication::quit();
  });
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) std::signal(sig, OnTerminate);
}

}  // namespace

// The settings, the message files, the storage folder and the Run value are
// in place already: the program entry loaded them for the switches. The
// window's start sequence reads the list; its end sequence (the close
// handler) saves the settings and the marks and releases the preview, and
// runs here once more in case the event loop ended without a close.
int RunWindow(int argc, char** argv) {
  TKvoApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("KvoPanoramics"));
  QApplication::setApplicationVersion(QStringLiteral(KVO_VERSION));
  // Lets the desktop find the program's entry and icon for its windows.
  QGuiApplication::setDesktopFileName(QStringLiteral("kvopanoramics"));
  InstallQtDialogs();
  QuitOnTermination(app);
  int rc = 0;
  {
    TfrmMain frmMain;
    frmMain.SetSettingsLoaded(true);
    frmMain.show();
    // A gallery opened in a file manager, or pictures, named on the command
    // line: handled once the window is up, as a drop on it would be.
    std::vector<std::string> args;
    for (const QString& arg : QCoreApplication::arguments().mid(1)) args.push_back(arg.toStdString());
    const std::vector<std::string> files = FilesToOpen(args);
    if (!files.empty())
      QTimer::singleShot(0, &frmMain, [&frmMain, files] { frmMain.OpenFiles(files); });
    rc = app.exec();
    frmMain.EndSession();
  }
  InstallSilentDialogs();
  return rc;
}

#else

int RunWindow(int, char**) {
  std::fputs(
      "kvopanoramics: this build has no desktop window (Qt 6 Widgets were not found).\n"
      "The logos and the picture store can be managed with the command-line\n"
      "companion: see `kvo --help`.\n",
      stderr);
  return 1;
}

#endif

}  // namespace kvo

// The module's entries, looked up by name when the module is loaded.
extern "C" const char* KvoDesktopVersion() { return KVO_VERSION; }

extern "C" int KvoDesktopMain(int argc, char** argv) { return kvo::RunWindow(argc, argv); }
