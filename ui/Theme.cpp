// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/Theme.h"

#include <QApplication>
#include <QFileInfo>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

#include <cmath>
#include <string>
#include <utility>

#include "base/MiscProcs.h"
#include "platform/Folders.h"

namespace kvo {
namespace {

double Channel_(double C) {
  return C <= 0.03928 ? C / 12.92 : std::pow((C + 0.055) / 1.055, 2.4);
}

double Luminance_(const QColor& C) {
  return 0.2126 * Channel_(C.redF()) + 0.7152 * Channel_(C.greenF()) +
         0.0722 * Channel_(C.blueF());
}

}  // namespace

double ContrastRatio(const QColor& A, const QColor& B) {
  const double a = Luminance_(A), b = Luminance_(B);
  return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QColor ReadableOn(const QColor& Color, const QColor& Background) {
  if (ContrastRatio(Color, Background) >= TEXT_CONTRAST_MIN) return Color;
  // Away from the background: lighter on a dark one, darker on a light one,
  // in small steps of HSL lightness, keeping hue and saturation.
  const bool lighten = Luminance_(Background) < 0.18;
  QColor c = Color.toHsl();
  for (int l = c.lightness(); l >= 0 && l <= 255; l += lighten ? 8 : -8) {
    const QColor step = QColor::fromHsl(c.hslHue(), c.hslSaturation(), l);
    if (ContrastRatio(step, Background) >= TEXT_CONTRAST_MIN) return step;
  }
  return lighten ? QColor(Qt::white) : QColor(Qt::black);
}

QColor ErrorTextColor(const QPalette& Palette) {
  const QColor window = Palette.color(QPalette::Window);
  // The classic dark red where it reads; a soft red on dark schemes.
  const bool dark = Luminance_(window) < 0.18;
  return ReadableOn(dark ? QColor(255, 110, 110) : QColor(160, 0, 0), window);
}

QColor NoteTextColor(const QPalette& Palette, const QColor& Background) {
  return ReadableOn(Palette.color(QPalette::Link), Background);
}

void PaintAsError(QWidget* Widget) {
  if (!Widget) return;
  QPalette pal = Widget->palette();
  const QColor red = ErrorTextColor(pal);
  pal.setColor(QPalette::WindowText, red);
  pal.setColor(QPalette::Text, red);
  Widget->setPalette(pal);
}

QIcon SymbolicIcon(QStyle::StandardPixmap Glyph, const QPalette& Palette) {
  const QIcon source = QApplication::style()->standardIcon(Glyph);
  QIcon icon;
  for (int size : {16, 24, 32, 48}) {
    const QPixmap shape = source.pixmap(size, size);
    if (shape.isNull()) continue;
    for (auto [mode, group] : {std::pair{QIcon::Normal, QPalette::Active},
                               std::pair{QIcon::Disabled, QPalette::Disabled}}) {
      // The glyph's outline in the text colour of buttons: it stands out
      // from the tool bar as the captions under it do.
      QPixmap tinted = shape;
      QPainter p(&tinted);
      p.setCompositionMode(QPainter::CompositionMode_SourceIn);
      p.fillRect(tinted.rect(), Palette.color(group, QPalette::ButtonText));
      p.end();
      icon.addPixmap(tinted, mode);
    }
  }
  return icon;
}

QIcon ThemeIcon(const char* Name, QStyle::StandardPixmap Fallback) {
  const QString name = QString::fromLatin1(Name);
  if (QIcon::hasThemeIcon(name)) return QIcon::fromTheme(name);
  return SymbolicIcon(Fallback, QApplication::palette());
}

QIcon ProgramIcon() {
  QIcon icon = QIcon::fromTheme(QStringLiteral("kvopanoramics"));
  if (!icon.isNull()) return icon;
  // An unpacked copy or the build folder: the picture is not installed in
  // the icon theme there.
  const std::string candidates[] = {
      ExecutableDir() + "../share/icons/hicolor/256x256/apps/kvopanoramics.png",
      AddBS(KVO_SOURCE_DIR) + "data/icons/kvopanoramics-256.png"};
  for (const std::string& path : candidates)
    if (QFileInfo::exists(QString::fromStdString(path))) return QIcon(QString::fromStdString(path));
  return {};
}

}  // namespace kvo
