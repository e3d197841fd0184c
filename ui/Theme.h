// SPDX-License-Identifier: GPL-3.0-or-later
// Colours and icons taken from the desktop: the windows draw text in the
// roles of the palette in use, so they read as well in a dark scheme as in a
// light one, and take their icons from the desktop's icon theme.
#pragma once

#include <QColor>
#include <QIcon>
#include <QPalette>
#include <QStyle>

namespace kvo {

// The contrast ratio of two colours as WCAG 2 defines it: from 1 (the same)
// to 21 (black on white).
double ContrastRatio(const QColor& A, const QColor& B);
// The least contrast text needs against its background to be readable
// (WCAG AA for ordinary text).
inline constexpr double TEXT_CONTRAST_MIN = 4.5;

// A red for error texts that keeps at least TEXT_CONTRAST_MIN against the
// palette's window colour: dark red on a light window, light red on a dark
// one.
QColor ErrorTextColor(const QPalette& Palette);
// The colour of a note set off from the text around it (the palette's
// link colour), brought to TEXT_CONTRAST_MIN against Background when the
// scheme's own does not reach it.
QColor NoteTextColor(const QPalette& Palette, const QColor& Background);
// Color itself when it reads on Background; otherwise the same hue made
// lighter or darker until it does (black or white at the end).
QColor ReadableOn(const QColor& Color, const QColor& Background);
// Gives Widget's text (WindowText and Text roles) the error colour.
void PaintAsError(QWidget* Widget);

// The icon Name of the desktop's icon theme; where the theme has none, the
// style's standard icon Fallback drawn in the palette's button text colour,
// so that it shows on a dark tool bar as well as on a light one.
QIcon ThemeIcon(const char* Name, QStyle::StandardPixmap Fallback);
QIcon SymbolicIcon(QStyle::StandardPixmap Glyph, const QPalette& Palette);
// The program's own icon: the installed one of the icon theme, else the
// picture shipped beside the program or in the source tree.
QIcon ProgramIcon();

}  // namespace kvo
