// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers for driving modal windows from the tests: the code under test
// calls exec(), and the test acts on the window once it is up.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QStyle>
#include <QStyleFactory>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <vector>
#include <utility>

namespace kvo::test {

// Runs Action on the next modal window of type T as soon as it is shown.
// Call it before the code that opens the window. A window that never opens
// fails the test after TimeoutMs; a window of another type is closed then,
// so the test does not hang.
template <class T, class F>
void WhenModal(F Action, int TimeoutMs = 10000) {
  auto* timer = new QTimer;
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  timer->setInterval(5);
  QObject::connect(timer, &QTimer::timeout, [timer, clock, TimeoutMs, Action]() mutable {
    if (T* w = qobject_cast<T*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      Action(w);
      return;
    }
    if (clock->elapsed() < TimeoutMs) return;
    timer->stop();
    timer->deleteLater();
    ADD_FAILURE() << "the expected modal window did not open";
    if (QWidget* other = QApplication::activeModalWidget()) other->close();
  });
  timer->start();
}

// The child of Parent with the object name Name, failing the test when it
// is missing.
template <class T>
T* Child(QWidget* Parent, const char* Name) {
  T* w = Parent ? Parent->findChild<T*>(QString::fromLatin1(Name)) : nullptr;
  EXPECT_NE(w, nullptr) << "no control " << Name;
  return w;
}

// A dark scheme as dark Fusion themes set it: the link colour is the usual
// mid blue, which on its own does not reach 4.5 : 1 on the dark grey.
inline QPalette DarkPalette() {
  QPalette p;
  const QColor text(230, 230, 230), dim(127, 127, 127);
  p.setColor(QPalette::Window, QColor(45, 45, 45));
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, QColor(30, 30, 30));
  p.setColor(QPalette::AlternateBase, QColor(50, 50, 50));
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, QColor(53, 53, 53));
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::Highlight, QColor(42, 130, 218));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Link, QColor(42, 130, 218));
  p.setColor(QPalette::ToolTipBase, QColor(60, 60, 60));
  p.setColor(QPalette::ToolTipText, text);
  p.setColor(QPalette::PlaceholderText, dim);
  for (auto role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
    p.setColor(QPalette::Disabled, role, dim);
  return p;
}

// The Fusion style with a palette for the lifetime of the scope.
class TScheme {
 public:
  explicit TScheme(const QPalette& Palette)
      : style_(QApplication::style()->name()), palette_(QApplication::palette()) {
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(Palette);
  }
  ~TScheme() {
    QApplication::setStyle(QStyleFactory::create(style_));
    QApplication::setPalette(palette_);
  }

 private:
  QString style_;
  QPalette palette_;
};

// The text a widget shows: a label's, a button's, a text field's; "items"
// for a list or a header; empty for one that shows none.
inline QString ShownText(const QWidget* W) {
  if (auto* l = qobject_cast<const QLabel*>(W)) return l->pixmap().isNull() ? l->text() : QString();
  if (auto* b = qobject_cast<const QAbstractButton*>(W)) return b->text();
  if (auto* e = qobject_cast<const QLineEdit*>(W)) return e->text();
  if (auto* p = qobject_cast<const QPlainTextEdit*>(W)) return p->toPlainText();
  if (auto* t = qobject_cast<const QTextEdit*>(W)) return t->toPlainText();
  if (qobject_cast<const QAbstractItemView*>(W) || qobject_cast<const QHeaderView*>(W))
    return QStringLiteral("items");
  return {};
}

// Every text a window shows, one per line, for tests that look for a
// sentence wherever it is.
inline QString AllText(QWidget* Window) {
  QStringList texts;
  for (QWidget* w : Window->findChildren<QWidget*>()) texts << ShownText(w);
  return texts.join(QLatin1Char('\n'));
}

// The light and the dark scheme the windows are checked and shown in.
struct TNamedScheme {
  const char* Name;
  QPalette Palette;
};
inline std::vector<TNamedScheme> LightAndDark() {
  return {{"light", std::unique_ptr<QStyle>(QStyleFactory::create(QStringLiteral("Fusion")))->standardPalette()},
          {"dark", DarkPalette()}};
}

}  // namespace kvo::test
