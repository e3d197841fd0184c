// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/wResize.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

#include "core/Settings.h"
#include "ui/wFormBasic.h"
#include "ui/wFormDialog.h"

namespace kvo {

namespace {

// The example scene is drawn in a 200 x 100 box: twice as wide as high, so
// that each mode visibly differs in a 96 x 80 frame.
constexpr qreal kSceneW = 200;
constexpr qreal kSceneH = 100;

void DrawScene_(QPainter& P) {
  // The hills reach past the box; what lies outside the picture is not drawn.
  P.setClipRect(QRectF(0, 0, kSceneW, kSceneH), Qt::IntersectClip);
  QLinearGradient sky(0, 0, 0, kSceneH);
  sky.setColorAt(0, QColor(60, 120, 215));
  sky.setColorAt(1, QColor(175, 215, 250));
  P.fillRect(QRectF(0, 0, kSceneW, kSceneH), sky);
  P.setPen(Qt::NoPen);
  P.setBrush(QColor(255, 215, 50));
  P.drawEllipse(QPointF(150, 32), 17, 17);
  P.setBrush(QColor(40, 125, 55));
  P.drawEllipse(QPointF(165, 112), 95, 42);
  P.setBrush(QColor(70, 165, 70));
  P.drawEllipse(QPointF(45, 118), 110, 48);
  P.setBrush(QColor(235, 225, 195));
  P.drawRect(QRectF(30, 58, 34, 24));
  P.setBrush(QColor(165, 40, 40));
  P.drawPolygon(QPolygonF({QPointF(25, 59), QPointF(47, 40), QPointF(69, 59)}));
  P.setBrush(QColor(110, 70, 40));
  P.drawRect(QRectF(42, 68, 9, 14));
}

// The rectangle the scene is drawn into for a mode: kept whole with black
// margins (border), filling the frame with the sides cut (crop), or
// distorted to the frame (stretch).
QRectF SceneTarget_(int32_t Mode) {
  const qreal w = RESIZE_EXAMPLE_W, h = RESIZE_EXAMPLE_H;
  if (Mode == RESIZE_STRETCH) return QRectF(0, 0, w, h);
  const qreal fit = std::min(w / kSceneW, h / kSceneH);
  const qreal fill = std::max(w / kSceneW, h / kSceneH);
  const qreal scale = Mode == RESIZE_CROP ? fill : fit;
  const qreal sw = kSceneW * scale, sh = kSceneH * scale;
  return QRectF((w - sw) / 2, (h - sh) / 2, sw, sh);
}

}  // namespace

QImage ResizeExampleImage(int32_t Mode) {
  QImage image(RESIZE_EXAMPLE_W, RESIZE_EXAMPLE_H, QImage::Format_RGB32);
  image.fill(Qt::black);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  p.setClipRect(QRect(0, 0, RESIZE_EXAMPLE_W, RESIZE_EXAMPLE_H));
  const QRectF target = SceneTarget_(Mode);
  p.translate(target.topLeft());
  p.scale(target.width() / kSceneW, target.height() / kSceneH);
  DrawScene_(p);
  return image;
}

TfrmResize::TfrmResize(int32_t Mode, QWidget* Parent) : QDialog(Parent) {
  setObjectName(QStringLiteral("frmResize"));
  setFont(TFormBasic::FormFont(11));
  setWindowTitle(QStringLiteral("Choose Resize Mode"));
  // 493 x 413 with the frame of a sizeable border and its title bar.
  resize(485, 386);

  auto* main = new QVBoxLayout(this);
  auto* head = new QLabel(
      QStringLiteral("How do you want the picture to be resized (click to the appropriate icon):"),
      this);
  head->setObjectName(QStringLiteral("labHead"));
  main->addWidget(head);
  AddRow_(main, RESIZE_BORDER,
          "SHOW ENTIRE IMAGE, proportional resizing\r\n(good for pictures of people, cars, "
          "houses, etc).\r\n\r\nThis mode is useful if you want to keep original proportions, but "
          "don't want to loose any part of the image. Original proportions are kept by adding "
          "vertical or horizontal borders.");
  AddRow_(main, RESIZE_CROP,
          "FILL THE SCREEN, proportional resizing\r\n(good for landscapes).\r\n\r\nThe image is "
          "resized to cover the entire screen and proportions are kept by cutting off margins "
          "either vertically or horizontally. In most cases that means only the central part of "
          "the picture remains visible.");
  AddRow_(main, RESIZE_STRETCH,
          "SIMPLE STRETCH\r\n(good for abstract textures).\r\n\r\nThe image is stretched (or "
          "shrinked) to fill the screen. Original proportions are NOT preserved meaning that "
          "objects on the picture may look distorted, but for abstract images that's not so "
          "important.");
  main->addStretch(1);
  main->addLayout(MakeOkCancelRow(this, btnOK, btnCancel));

  radBorder->setChecked(Mode == RESIZE_BORDER);
  radCrop->setChecked(Mode == RESIZE_CROP);
  radStretch->setChecked(Mode == RESIZE_STRETCH);
}

// One row: the radio button, the example picture (a click on it chooses the
// mode too) and the explanation; rows after the first are set off by a line.
void TfrmResize::AddRow_(QVBoxLayout* Main, int32_t Mode, const char* Text) {
  static const char* const kNames[3][3] = {{"radBorder", "imgBorder", "memoBorder"},
                                           {"radCrop", "imgCrop", "memoCrop"},
                                           {"radStretch", "imgStretch", "memoStretch"}};
  if (Mode != RESIZE_BORDER) {
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    Main->addWidget(line);
  }
  auto* radio = new QRadioButton(this);
  radio->setObjectName(QString::fromLatin1(kNames[Mode][0]));
  // The button has no caption of its own: its name is the first line of the
  // explanation beside it ("FIT TO SCREEN, ..."), the rest its description.
  const QString text = QString::fromLatin1(Text);
  radio->setAccessibleName(text.section(QStringLiteral("\r\n"), 0, 0));
  radio->setAccessibleDescription(text.section(QStringLiteral("\r\n"), 1).simplified());
  auto* picture = new QToolButton(this);
  picture->setObjectName(QString::fromLatin1(kNames[Mode][1]));
  picture->setIcon(QPixmap::fromImage(ResizeExampleImage(Mode)));
  picture->setIconSize(QSize(RESIZE_EXAMPLE_W, RESIZE_EXAMPLE_H));
  picture->setAutoRaise(true);
  picture->setFocusPolicy(Qt::NoFocus);
  picture->setAccessibleName(QStringLiteral("Example: ") + radio->accessibleName());
  connect(picture, &QToolButton::clicked, radio, [radio] { radio->setChecked(true); });
  QPlainTextEdit* memo = MakeInfoMemo(this, kNames[Mode][2], QString::fromLatin1(Text));
  memo->setFrameShape(QFrame::NoFrame);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo->setMinimumSize(306, 80);
  memo->setMaximumHeight(80);
  memo->setAccessibleName(radio->accessibleName());

  auto* row = new QHBoxLayout;
  row->addWidget(radio);
  row->addWidget(picture);
  row->addWidget(memo, 1);
  Main->addLayout(row);
  (Mode == RESIZE_CROP ? radCrop : Mode == RESIZE_STRETCH ? radStretch : radBorder) = radio;
  (Mode == RESIZE_CROP ? imgCrop : Mode == RESIZE_STRETCH ? imgStretch : imgBorder) = picture;
  (Mode == RESIZE_CROP ? memoCrop : Mode == RESIZE_STRETCH ? memoStretch : memoBorder) = memo;
}

int32_t TfrmResize::ChosenMode() const {
  if (radCrop->isChecked()) return RESIZE_CROP;
  if (radStretch->isChecked()) return RESIZE_STRETCH;
  return RESIZE_BORDER;
}

}  // namespace kvo

namespace kvo::qt {

bool ExecResizeDialog(int32_t& Mode, QWidget* Parent) {
  auto form = std::make_unique<TfrmResize>(Mode, Parent);
  if (form->exec() != QDialog::Accepted) return false;
  Mode = form->ChosenMode();
  return true;
}

}  // namespace kvo::qt
