#include "ui/wMain.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTemporaryDir>
#include <QToolButton>

#include <algorithm>
#include <ctime>
#include <exception>

#include "base/Basic.h"
#include "base/Errors.h"
#include "base/IniWrap.h"
#include "base/MiscProcs.h"
#include "base/RegWrap.h"
#include "base/VCLUtils.h"
#include "base/WinUtils.h"
#include "core/Backup.h"
#include "core/Composer.h"
#include "core/Gallery.h"
#include "core/Locations.h"
#include "core/LogoCheck.h"
#include "core/LogoPreview.h"
#include "core/Settings.h"
#include "core/Shuffle.h"
#include "core/StoreDrop.h"
#include "formats/ConForm.h"
#include "formats/FFBasic.h"
#include "platform/Folders.h"
#include "ui/CtlDisplay.h"
#include "ui/VCLUtils_qt.h"
#include "ui/wAdvanced.h"
#include "ui/wBootPreview.h"
#include "ui/wDrive.h"
#include "ui/wOptions.h"

namespace kvo {
namespace {

// Sets a flag for the lifetime of the scope and puts its old value back.
class TFlagScope {
 public:
  explicit TFlagScope(bool& Flag) : flag_(Flag), old_(Flag) { flag_ = true; }
  ~TFlagScope() { flag_ = old_; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& flag_;
  bool old_;
};

QString ToQ(const std::string& Text) { return QString::fromStdString(Text); }

// The settings file's section that keeps the window's size and place.
constexpr const char* WINDOW_SECTION = "Window";

// The local files and folders a drop or the clipboard carries.
std::vector<std::string> LocalFiles(const QMimeData* Data) {
  std::vector<std::string> files;
  if (!Data || !Data->hasUrls()) return files;
  for (const QUrl& url : Data->urls())
    if (url.isLocalFile()) files.push_back(url.toLocalFile().toStdString());
  return files;
}

const TLogoEntry* EntryAt(int32_t Index) {
  const auto& e = LogoList().Entries;
  if (Index < 0 || Index >= LogoList().Count || Index >= static_cast<int32_t>(e.size()))
    return nullptr;
  return &e[static_cast<size_t>(Index)];
}

// The list draws each entry as its name without ".kvo" and three columns
// for the positions it may be shuffled into.
class TFileListDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  QSize sizeHint(const QStyleOptionViewItem& Option, const QModelIndex&) const override {
    return QSize(Option.rect.width(), QFontMetrics(Option.font).height() + 4);
  }

  void paint(QPainter* P, const QStyleOptionViewItem& Option,
             const QModelIndex& Index) const override {
    P->save();
    const bool selected = Option.state & QStyle::State_Selected;
    const QBrush brush = selected ? Option.palette.highlight() : Option.palette.base();
    P->setFont(Option.font);
    P->setPen(selected ? Option.palette.highlightedText().color() : Option.palette.text().color());
    P->fillRect(Option.rect, brush);
    const int L = Option.rect.left(), T = Option.rect.top();
    const int Rt = L + Option.rect.width(), B = T + Option.rect.height();
    QString text = Index.data().toString();
    text.chop(4);
    const int nameRight = Rt - Rt / 3;
    Cell_(P, QRect(L, T, nameRight - L, B - T), text);
    const int columnWidth = (Rt - nameRight) / 3;
    const TLogoEntry* entry = EntryAt(Index.row());
    const uint32_t positions = entry ? entry->Positions : 0;
    static const char* const kMarks[3] = {"start", "wait", "off"};
    int left = nameRight + 1;
    for (int k = 0; k < 3; ++k) {
      const int right = k == 2 ? Rt : left + columnWidth;
      const QRect column(left, T, right - left, B - T);
      P->fillRect(column, brush);
      Cell_(P, column, QString::fromLatin1((positions & POSITIONS[k]) ? kMarks[k] : "-"));
      left = right + 1;
    }
    const uint32_t window = QColorToColorRef(Option.palette.window().color());
    P->setPen(ColorRefToQColor(SeparatorColor(window)));
    P->drawLine(L, B - 1, Rt, B - 1);
    P->restore();
    if (Option.state & QStyle::State_HasFocus) FocusFrame_(P, Option);
  }

 private:
  // Text at (left + 1, top), cut at the cell's right edge.
  static void Cell_(QPainter* P, const QRect& Cell, const QString& Text) {
    P->drawText(Cell.adjusted(1, 0, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                Text);
  }

  static void FocusFrame_(QPainter* P, const QStyleOptionViewItem& Option) {
    QStyleOptionFocusRect focus;
    focus.QStyleOption::operator=(Option);
    focus.backgroundColor = Option.palette.highlight().color();
    const QWidget* w = Option.widget;
    (w ? w->style() : QApplication::style())->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, P, w);
  }
};

// The picture of the campaign button: a plain badge, as no resource came
// with the window.
QPixmap CampaignPicture() {
  // Drawn at the screen's pixel ratio, so it stays sharp when scaled (200 %).
  const qreal ratio = qApp->devicePixelRatio();
  QPixmap picture(QSize(96, 42) * ratio);
  picture.setDevicePixelRatio(ratio);
  picture.fill(Qt::white);
  QPainter p(&picture);
  p.setPen(QPen(QColor(176, 0, 0), 3));
  const QRect frame(2, 2, 92, 38);
  p.drawRect(frame);
  // The largest size up to 11 pixels whose text stays inside the frame,
  // whichever sans face stands in for the form's font.
  const QString text = QStringLiteral("NO SOFTWARE\nPATENTS");
  QFont font = TFormBasic::FormFont(11);
  font.setBold(true);
  for (int size = 11; size > 6; --size) {
    font.setPixelSize(size);
    if (QFontMetrics(font).boundingRect(frame, Qt::AlignCenter, text).width() <= frame.width() - 8)
      break;
  }
  p.setFont(font);
  p.setPen(QColor(176, 0, 0));
  p.drawText(frame, Qt::AlignCenter, text);
  return picture;
}

// Every action of a menu tree, the menus' own included.
void EnableMenuTree(QAction* Action, bool Enable) {
  const bool hasTarget = Action->objectName() != QLatin1String("mnuWebSite") || *PRODUCT_WEB_PAGE;
  Action->setEnabled(Enable && hasTarget);
  if (QMenu* menu = Action->menu())
    for (QAction* child : menu->actions()) EnableMenuTree(child, Enable);
}

}  // namespace

// ---- free helpers ---------------------------------------------------------------

std::string DigitGroups(uint64_t Value) {
  std::string digits = std::to_string(Value);
  for (int pos = static_cast<int>(digits.size()) - 3; pos > 0; pos -= 3)
    digits.insert(static_cast<size_t>(pos), 1, ',');
  return digits;
}

std::string SystemInformationText() {
  const std::string nl = "\r\n";
  const TSettings& s = Settings();
  std::string t = std::string("Information generated by ") + APP_TITLE + nl + nl;
  t += "Physical memory available: " + DigitGroups(GetWinPhysicalMemory()) + nl;
  t += "Physical memory free: " + DigitGroups(GetWinFreeMemory()) + nl;
  t += "Windows version: " + GetWinVersionStr() + nl;
  t += "Windows folder: " + GetWinFolder() + nl;
  t += "Program files folder: " + GetProgFilesFolder() + nl;
  t += "Storage folder: " + GetStorageDir() + nl;
  t += "Startup logo: " + s.LogoFile[0] + nl;
  t += "Shut down logo: " + s.LogoFile[1] + nl;
  t += "Turn off logo: " + s.LogoFile[2] + nl;
  return t;
}

std::string FindDocument(const std::string& Name) {
  // An installation finds its documents from the program's own folder
  // first, so one unpacked anywhere (dpkg -x, a moved prefix) finds its own.
  const std::string folders[] = {GetAppDir(), ExecutableDir() + "../share/doc/kvopanoramics/",
                                 AddBS(KVO_DATA_DIR), AddBS(KVO_SOURCE_DIR) + "docs/"};
  for (const std::string& folder : folders)
    if (FileExists(folder + Name)) return folder + Name;
  return {};
}

uint32_t SeparatorColor(uint32_t Color) {
  auto darker = [](uint32_t c) { return c > 32 ? c - 32 : 0; };
  return darker(Color & 0xFF) | (darker((Color >> 8) & 0xFF) << 8) |
         (darker((Color >> 16) & 0xFF) << 16);
}

// ---- construction ---------------------------------------------------------------

TfrmMain::TfrmMain(QWidget* Parent) : TFormNormal(Parent) {
  setObjectName("frmMain");
  setWindowTitle(QString::fromLatin1(APP_TITLE));
  BuildClient_();
  BuildMenus_();
  ConnectButtons_();
  InstallWindowEntries_();
  // Key preview: the window sees ESC and F6 to F8 before the focused control.
  qApp->installEventFilter(this);
  // The client area at its classic size is the smallest; the menu bar is
  // added on top of it, so the tool bar, the list and the status bar keep
  // their full size. A larger window gives the preview more room.
  setMinimumSize(MAIN_CLIENT_WIDTH, MAIN_CLIENT_HEIGHT + menuBar()->sizeHint().height());
  resize(minimumSize());
  // Files and folders dragged from a file manager are added (dropEvent).
  setAcceptDrops(true);
}

TfrmMain::~TfrmMain() {
  qApp->removeEventFilter(this);
  // The core must not call into a window that is gone.
  TDialogTable& t = Dialogs();
  t.Status = [](const std::string&, bool) {};
  t.SetBusy = [](bool) {};
  t.PreviewStored = [](const std::string&) {};
}

void TfrmMain::BuildClient_() {
  client_ = new QWidget(this);
  client_->setObjectName("client");
  client_->setMinimumSize(MAIN_CLIENT_WIDTH, MAIN_CLIENT_HEIGHT);
  setCentralWidget(client_);
  BuildTools_(client_);
  lstFiles = new QListWidget(client_);
  lstFiles->setObjectName("lstFiles");
  lstFiles->setFont(FormFont(13));
  lstFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lstFiles->setItemDelegate(new TFileListDelegate(lstFiles));
  lstFiles->setUniformItemSizes(true);
  lstFiles->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Panel2 = new QFrame(client_);
  Panel2->setObjectName("Panel2");
  Panel2->setFrameStyle(QFrame::Box | QFrame::Plain);
  Panel2->setLineWidth(1);
  Panel2->setAutoFillBackground(true);
  panStatus = new QLabel(client_);
  panStatus->setObjectName("panStatus");
  panStatus->setFont(FormFont(13));
  panStatus->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  panStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  panStatus->setTextFormat(Qt::PlainText);
  FormResize_();
}

void TfrmMain::BuildTools_(QWidget* Client) {
  panTools = new QFrame(Client);
  panTools->setObjectName("panTools");
  panTools->setFrameStyle(QFrame::Panel | QFrame::Raised);
  panTools->setLineWidth(1);
  btnAdd = AddToolButton_("btnAdd", tr("&Add"), 5, QStyle::SP_FileDialogNewFolder);
  btnSet = AddToolButton_("btnSet", tr("&Set"), 69, QStyle::SP_DialogApplyButton);
  btnShuffle = AddToolButton_("btnShuffle", tr("Shu&ffle"), 133, QStyle::SP_BrowserReload);
  btnDelete = AddToolButton_("btnDelete", tr("&Delete"), 197, QStyle::SP_TrashIcon);
  // Alt+H belongs to the Help menu; the button takes the next letter.
  btnHelp = AddToolButton_("btnHelp", tr("H&elp"), 261, QStyle::SP_DialogHelpButton);
  btnAbout = AddToolButton_("btnAbout", tr("A&bout"), 325, QStyle::SP_MessageBoxInformation);
  btnExit = AddToolButton_("btnExit", tr("E&xit"), 389, QStyle::SP_DialogCloseButton);
  btnNoPat = new QToolButton(panTools);
  btnNoPat->setObjectName("btnNoPat");
  btnNoPat->setAutoRaise(true);
  btnNoPat->setGeometry(481, 4, 100, 46);
  const QPixmap picture = CampaignPicture();
  btnNoPat->setIcon(QIcon(picture));
  btnNoPat->setIconSize(picture.deviceIndependentSize().toSize());
  btnNoPat->setFocusPolicy(Qt::NoFocus);
}

QToolButton* TfrmMain::AddToolButton_(const char* Name, const QString& Caption, int Left,
                                      int Glyph) {
  auto* button = new QToolButton(panTools);
  button->setObjectName(QString::fromLatin1(Name));
  button->setText(Caption);
  button->setAutoRaise(true);
  button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  button->setIcon(style()->standardIcon(static_cast<QStyle::StandardPixmap>(Glyph)));
  button->setIconSize(QSize(24, 24));
  button->setGeometry(Left, 4, 64, 46);
  // Speed buttons never take the focus from the list.
  button->setFocusPolicy(Qt::NoFocus);
  return button;
}

QAction* TfrmMain::AddItem_(QMenu* Menu, const char* Name, const QString& Caption,
                            void (TfrmMain::*Slot)()) {
  QAction* action = Menu->addAction(Caption);
  action->setObjectName(QString::fromLatin1(Name));
  connect(action, &QAction::triggered, this, Slot);
  return action;
}

void TfrmMain::BuildMenus_() {
  BuildImageMenu_();
  BuildGalleryAndViewMenus_();
  BuildToolsAndHelpMenus_();
}

void TfrmMain::BuildImageMenu_() {
  mnuImage = menuBar()->addMenu(tr("&Image"));
  mnuImage->setObjectName("mnuImage");
  mnuAdd = AddItem_(mnuImage, "mnuAdd", tr("Add..."), &TfrmMain::AddClick_);
  mnuAdd->setShortcut(Qt::Key_A);
  mnuPaste = AddItem_(mnuImage, "mnuPaste", tr("Paste"), &TfrmMain::PasteClick_);
  mnuPaste->setShortcut(QKeySequence::Paste);
  mnuDelete = AddItem_(mnuImage, "mnuDelete", tr("Delete..."), &TfrmMain::DeleteClick_);
  mnuDelete->setShortcut(Qt::Key_Delete);
  mnuRename = AddItem_(mnuImage, "mnuRename", tr("Rename..."), &TfrmMain::RenameClick_);
  // F2 as well: the key that renames almost everywhere else on the desktop.
  mnuRename->setShortcuts({QKeySequence(Qt::Key_R), QKeySequence(Qt::Key_F2)});
  mnuPosition =
      AddItem_(mnuImage, "mnuPosition", tr("Choose Position..."), &TfrmMain::PositionClick_);
  mnuPosition->setShortcut(Qt::Key_P);
  mnuImage->addSeparator();
  mnuPrefix = AddItem_(mnuImage, "mnuPrefix", tr("Change Prefix..."), &TfrmMain::PrefixClick_);
  mnuImage->addSeparator();
  mnuSetLogo = AddItem_(mnuImage, "mnuSetLogo", tr("Set as Logo..."), &TfrmMain::SetLogoClick_);
  // Both Enter keys; the menu names the first.
  mnuSetLogo->setShortcuts({QKeySequence(Qt::Key_Enter), QKeySequence(Qt::Key_Return)});
  mnuExportPreview = AddItem_(mnuImage, "mnuExportPreview", tr("Export Preview..."),
                              &TfrmMain::ExportPreview);
  mnuShuffle = AddItem_(mnuImage, "mnuShuffle", tr("Shuffle"), &TfrmMain::ShuffleClick_);
  mnuImage->addSeparator();
  mnuExit = AddItem_(mnuImage, "mnuExit", tr("Exit"), &TfrmMain::ExitClick_);
}

void TfrmMain::BuildGalleryAndViewMenus_() {
  mnuGallery = menuBar()->addMenu(tr("&Gallery"));
  mnuGallery->setObjectName("mnuGallery");
  mnuGalOpen = AddItem_(mnuGallery, "mnuGalOpen", tr("&Open..."), &TfrmMain::GalOpenClick_);
  mnuGallery->addSeparator();
  mnuGalCreate =
      AddItem_(mnuGallery, "mnuGalCreate", tr("&Create..."), &TfrmMain::GalCreateClick_);
  mnuView = menuBar()->addMenu(tr("&View"));
  mnuView->setObjectName("mnuView");
  mnuViewStartup = AddItem_(mnuView, "mnuViewStartup", tr("Current \"Startup\" Logo"),
                            &TfrmMain::ViewStartupClick_);
  mnuViewWait =
      AddItem_(mnuView, "mnuViewWait", tr("Current \"Wait\" Logo"), &TfrmMain::ViewWaitClick_);
  mnuViewTurnOff = AddItem_(mnuView, "mnuViewTurnOff", tr("Current \"Turn Off\" Logo"),
                            &TfrmMain::ViewTurnOffClick_);
  mnuView->addSeparator();
  // The stored pictures shown as Set would write the Startup logo.
  mnuViewAsStartup = mnuView->addAction(tr("Preview as Startup Logo"));
  mnuViewAsStartup->setObjectName("mnuViewAsStartup");
  mnuViewAsStartup->setCheckable(true);
  connect(mnuViewAsStartup, &QAction::toggled, this, [this] {
    if (!starting_ && !busy_ && viewedLogo_ == 0) ShowPreviewOfCurrent();
  });
  mnuBootPreview = AddItem_(mnuView, "mnuBootPreview", tr("Boot Preview"), &TfrmMain::BootPreview);
  mnuBootPreview->setShortcut(Qt::Key_F11);
  mnuView->addSeparator();
  mnuRefresh = AddItem_(mnuView, "mnuRefresh", tr("Refresh List"), &TfrmMain::RefreshClick_);
  mnuRefresh->setShortcut(Qt::Key_F5);
}

void TfrmMain::BuildToolsAndHelpMenus_() {
  mnuTools = menuBar()->addMenu(tr("&Tools"));
  mnuTools->setObjectName("mnuTools");
  mnuOptions = AddItem_(mnuTools, "mnuOptions", tr("Options..."), &TfrmMain::OptionsClick_);
  mnuFolders =
      AddItem_(mnuTools, "mnuFolders", tr("Special Folders..."), &TfrmMain::FoldersClick_);
  mnuDrive = AddItem_(mnuTools, "mnuDrive", tr("Windows Drive..."), &TfrmMain::DriveClick_);
  mnuTools->addSeparator();
  mnuRestore = AddItem_(mnuTools, "mnuRestore", tr("Restore Original Logos..."),
                        &TfrmMain::RestoreClick_);
  mnuHelp = menuBar()->addMenu(tr("&Help"));
  mnuHelp->setObjectName("mnuHelp");
  mnuManual = AddItem_(mnuHelp, "mnuManual", tr("Short Manual"), &TfrmMain::ManualClick_);
  mnuManual->setShortcut(Qt::Key_F1);
  mnuWebSite = AddItem_(mnuHelp, "mnuWebSite", tr("Web Site"), &TfrmMain::WebSiteClick_);
  mnuWebSite->setEnabled(*PRODUCT_WEB_PAGE != '\0');
  mnuHelp->addSeparator();
  mnuSysInfo =
      AddItem_(mnuHelp, "mnuSysInfo", tr("System Information..."), &TfrmMain::SysInfoClick_);
  mnuHelp->addSeparator();
  mnuAbout = AddItem_(mnuHelp, "mnuAbout", tr("About..."), &TfrmMain::AboutClick_);
}

void TfrmMain::ConnectButtons_() {
  connect(btnAdd, &QToolButton::clicked, this, &TfrmMain::AddClick_);
  connect(btnSet, &QToolButton::clicked, this, &TfrmMain::SetLogoClick_);
  connect(btnShuffle, &QToolButton::clicked, this, &TfrmMain::ShuffleClick_);
  connect(btnDelete, &QToolButton::clicked, this, &TfrmMain::DeleteClick_);
  connect(btnHelp, &QToolButton::clicked, this, &TfrmMain::ManualClick_);
  connect(btnAbout, &QToolButton::clicked, this, &TfrmMain::AboutClick_);
  connect(btnExit, &QToolButton::clicked, this, &TfrmMain::ExitClick_);
  connect(btnNoPat, &QToolButton::clicked, this, &TfrmMain::NoPatClick_);
  connect(lstFiles, &QListWidget::currentRowChanged, this, [this](int) { ListClicked_(); });
  connect(lstFiles, &QListWidget::clicked, this, [this](const QModelIndex& Index) {
    // A click on the entry already shown (after viewing a logo, say) shows
    // it again; a click that moved the current entry was handled above.
    if (Index.row() != previewRow_) ListClicked_();
  });
}

// The status bar, the busy state and the batch preview are the window's
// entries of the core's dialog table.
void TfrmMain::InstallWindowEntries_() {
  TDialogTable& t = Dialogs();
  t.Status = [this](const std::string& Text, bool Bold) { SetStatus(Text, Bold); };
  t.SetBusy = [this](bool Busy) { SetBusyUI(Busy); };
  t.PreviewStored = [this](const std::string& Path) { ShowStoredPreview_(Path); };
}

// ---- start and end ------------------------------------------------------------------

void TfrmMain::showEvent(QShowEvent* Event) {
  TFormNormal::showEvent(Event);
  if (started_) return;
  started_ = true;
  // Where it was closed; centred the first time and when that place is gone.
  if (!RestoreWindowPlace_())
    if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
  FormShow_();
}

// The window's part of the start. The switches "/shuffle" and "/uninst"
// never get this far: the program entry handles them before any window
// exists, so that they run without a display.
void TfrmMain::FormShow_() {
  starting_ = true;
  Command_("wMain.FormShow", [&] {
    if (!settingsLoaded_) LoadSettings(true);
    settingsLoaded_ = true;
    ShowDrive_();
    lstFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
    Preview_Init(Preview, Panel2, PREVIEW_MARGIN);
    Preview_SetColor(Preview, QColorToColorRef(Panel2->palette().color(QPalette::Window)));
    ReloadList(false);
    SelectIndex(0);
    SetHints_();
  });
  starting_ = false;
  // The first layout with the start finished shows the current entry.
  FormResize_();
}

void TfrmMain::SetHints_() {
  SetHint(btnAdd, "Add images to the list");
  SetHint(btnSet, "Set currently displayed image as the logo");
  SetHint(btnShuffle, "Set random logos");
  SetHint(btnDelete, "Delete selected logos");
  SetHint(btnHelp, "Short manual");
  SetHint(btnAbout, "More information about this software");
  SetHint(btnExit, "Close this application");
}

void TfrmMain::closeEvent(QCloseEvent* Event) {
  // A long operation runs below this handler (its status updates let
  // events through); ending now would pull the list and the preview from
  // under it. The window closes when the operation has ended.
  if (busyUI_ || StoreBusy()) {
    Event->ignore();
    closePending_ = true;
    SetStatus("Closing when the current operation ends (ESC stops it)...", true);
    return;
  }
  EndSession();
  Event->accept();
}

void TfrmMain::EndSession() {
  if (starting_) return;
  starting_ = true;
  Command_("wMain.FormClose.SaveSettings", [] { SaveSettings(false); });
  Command_("wMain.FormClose.SaveLogoMarks", [] { SaveLogoMarks(); });
  Command_("wMain.FormClose.SaveWindowPlace", [&] { SaveWindowPlace_(); });
  Preview_Done(Preview);
}

// ---- layout and keys ------------------------------------------------------------------

void TfrmMain::FormResize_() {
  const int w = client_->width(), h = client_->height();
  if (panTools) panTools->setGeometry(0, 0, w, MAIN_TOOLS_HEIGHT);
  if (panStatus) panStatus->setGeometry(0, h - MAIN_STATUS_HEIGHT, w, MAIN_STATUS_HEIGHT);
  if (!lstFiles || !Panel2) return;
  const int listHeight = std::max(0, h - MAIN_TOOLS_HEIGHT - MAIN_STATUS_HEIGHT);
  lstFiles->setGeometry(0, MAIN_TOOLS_HEIGHT, MAIN_LIST_WIDTH, listHeight);
  // The preview area stays beside the list with a gap of 2 pixels.
  Panel2->setGeometry(lstFiles->width() + 2, lstFiles->y(), w - lstFiles->width() - 3,
                      lstFiles->height());
  if (!starting_ && !busy_) ShowPreviewOfCurrent();
}

bool TfrmMain::eventFilter(QObject* Watched, QEvent* Event) {
  if (Watched == client_ && Event->type() == QEvent::Resize) {
    FormResize_();
  } else if (Event->type() == QEvent::KeyPress && Watched->isWidgetType() &&
             static_cast<QWidget*>(Watched)->window() == this) {
    if (FormKeyDown_(static_cast<QKeyEvent*>(Event)->key())) return true;
  }
  return TFormNormal::eventFilter(Watched, Event);
}

// True when the key was used up.
bool TfrmMain::FormKeyDown_(int Key) {
  auto toggle = [this](uint32_t Position) {
    ChangePositions_([Position](const TListSelection& Sel) { TogglePosition(Sel, Position); });
  };
  switch (Key) {
    case Qt::Key_Escape:
      // Stops a running Add or gallery operation after the current picture;
      // outside one it is forgotten when the next one starts.
      BatchAnswer() = BA_ABORT;
      return false;
    case Qt::Key_F6: toggle(POS_STARTUP); return true;
    case Qt::Key_F7: toggle(POS_WAIT); return true;
    case Qt::Key_F8: toggle(POS_TURNOFF); return true;
    default: return false;
  }
}

// ---- window procedures -------------------------------------------------------------------

void TfrmMain::SetStatus(const std::string& Text, bool Bold) {
  statusText_ = Text;
  statusBold_ = Bold;
  QFont font = panStatus->font();
  font.setBold(Bold);
  panStatus->setFont(font);
  panStatus->setText(ToQ(" " + Text));
  if (panStatus->isVisible()) panStatus->repaint();
  // Let the window through: the text shows at once, and ESC reaches the
  // window while a long operation runs.
  ProcessPending();
}

void TfrmMain::SetBusyUI(bool Busy) {
  busyUI_ = Busy;
  if (Busy)
    qt::ShowBusy();
  else
    qt::ShowReady();
  for (QToolButton* button : panTools->findChildren<QToolButton*>()) button->setEnabled(!Busy);
  for (QAction* action : menuBar()->actions()) EnableMenuTree(action, !Busy);
}

void TfrmMain::SyncItems_() {
  const int32_t count = LogoList().Count;
  for (int32_t i = 0; i < count; ++i) {
    const QString name = ToQ(LogoList().Entries[static_cast<size_t>(i)].FileName);
    if (i < lstFiles->count())
      lstFiles->item(i)->setText(name);
    else
      lstFiles->addItem(name);
  }
  while (lstFiles->count() > count) delete lstFiles->takeItem(lstFiles->count() - 1);
}

bool TfrmMain::ItemsMatchList_() const {
  if (lstFiles->count() != LogoList().Count) return false;
  for (int32_t i = 0; i < LogoList().Count; ++i)
    if (lstFiles->item(i)->text() != ToQ(LogoList().Entries[static_cast<size_t>(i)].FileName))
      return false;
  return true;
}

void TfrmMain::RefreshListDisplay(bool WithPreview) {
  // Failures inside are swallowed: the list shows what could be shown.
  MonitoredKeep("wMain.RefreshListDisplay", [&] {
    TFlagScope busy(busy_);
    int32_t c = lstFiles->currentRow();
    lstFiles->setUpdatesEnabled(false);
    SyncItems_();
    lstFiles->setUpdatesEnabled(true);
    SetStatus(StatusSummary(), false);
    if (c >= lstFiles->count()) c = lstFiles->count() - 1;
    if (c >= 0) SelectIndex(c);
    if (WithPreview) ShowPreviewOfCurrent();
  });
  ClearError();
}

void TfrmMain::ReloadList(bool WithPreview) {
  LoadLogoList();
  RefreshListDisplay(WithPreview);
}

void TfrmMain::SelectIndex(int32_t Index) {
  if (Index < 0 || Index >= lstFiles->count()) return;
  {
    // Moving the current entry must not load the preview twice.
    TFlagScope quiet(busy_);
    lstFiles->setFocus();
    lstFiles->setCurrentRow(Index, QItemSelectionModel::ClearAndSelect);
  }
  if (!starting_ && !busy_) ShowPreviewOfCurrent();
}

void TfrmMain::SelectFileName(const std::string& Name) {
  const int32_t i = FindByFileName(Name);
  SelectIndex(i == INVALID_ID ? 0 : i);
}

TListSelection TfrmMain::Selection() const {
  TListSelection sel;
  for (int i = 0; i < lstFiles->count(); ++i)
    if (lstFiles->item(i)->isSelected()) sel.Selected.push_back(i);
  sel.Current = lstFiles->currentRow();
  return sel;
}

// ---- previews ----------------------------------------------------------------------------

void TfrmMain::ShowStoredPreview_(const std::string& Path, bool AsStartupLogo) {
  MonitoredKeep("wMain.ShowStoredPreview", [&] {
    TImg img, fitted;
    int32_t important = ANIM_NONE;
    const bool loaded = AsStartupLogo ? ComposeStoredLogo(Path, POS_STARTUP, img, important)
                                      : LoadStoredPicture(Path, img);
    if (!loaded) {
      ImgFree(img);
      return;
    }
    ImgResize(img, fitted, PREVIEW_WIDTH, PREVIEW_HEIGHT);
    ImgFree(img);
    Preview_ShowAnimated(Preview, fitted, important, AnimStepsPerSecond());
    ImgFree(fitted);
  });
  // A picture that cannot be shown leaves the preview as it was, unreported.
  ClearError();
}

void TfrmMain::ShowPreviewOfCurrent() {
  {
    TFlagScope busy(busy_);
    const int32_t c = lstFiles->currentRow();
    viewedLogo_ = 0;
    if (const TLogoEntry* entry = EntryAt(c)) {
      ShowStoredPreview_(GetStorageDir() + entry->FileName,
                         mnuViewAsStartup && mnuViewAsStartup->isChecked());
      previewRow_ = c;
    } else {
      Preview_Hide(Preview);
      previewRow_ = -1;
    }
  }
  SetStatus(StatusSummary(), false);
}

void TfrmMain::ViewLogo(uint32_t Position) {
  TFlagScope busy(busy_);
  previewRow_ = -1;
  viewedLogo_ = Position;
  bool shown = false;
  MonitoredKeep("wMain.ViewLogo", [&] {
    TImg img, fitted;
    int32_t important = ANIM_NONE;
    LoadCurrentLogo(Position, img, important);
    ImgResize(img, fitted, PREVIEW_WIDTH, PREVIEW_HEIGHT);
    ImgFree(img);
    // The Startup logo moves as it does at boot.
    Preview_ShowAnimated(Preview, fitted, important, AnimStepsPerSecond());
    ImgFree(fitted);
    shown = true;
  });
  ClearError();
  if (shown) return;
  Preview_Hide(Preview);
  // A missing Startup logo is no fault: Windows then shows its own.
  std::string note;
  MonitoredKeep("wMain.BuiltInLogoNote", [&] { note = BuiltInLogoNote(Position); });
  ClearError();
  if (!note.empty()) SetStatus(note, false);
}

bool TfrmMain::ChosenLogo_(TImg& Img, int32_t& Important, bool Viewed) {
  if (Viewed && viewedLogo_ != 0) {
    LoadCurrentLogo(viewedLogo_, Img, Important);
    return true;
  }
  const TLogoEntry* entry = EntryAt(lstFiles->currentRow());
  if (!entry) {
    ShowError("No image selected.");
    return false;
  }
  if (ComposeStoredLogo(GetStorageDir() + entry->FileName, POS_STARTUP, Img, Important))
    return true;
  SetError(EG_FILE, 3, __LINE__);
  return false;
}

void TfrmMain::BootPreview() {
  Command_("wMain.mnuBootPreviewClick", [&] {
    TImg img;
    int32_t important = ANIM_NONE;
    // A failure is shown by the command; the picture is released first.
    MonitoredKeep("wMain.BootPreview", [&] {
      if (!ChosenLogo_(img, important, true)) return;
      if (bootPreview_) bootPreview_->close();
      bootPreview_ = ShowBootPreview(img, important, AnimStepsPerSecond(), this);
    });
    ImgFree(img);
  });
}

void TfrmMain::ExportPreview() {
  Command_("wMain.mnuExportPreviewClick", [&] {
    const TLogoEntry* entry = EntryAt(lstFiles->currentRow());
    if (!entry) {
      ShowError("No image selected.");
      return;
    }
    std::string folder = Settings().GalDir, file = ForceFileExt(entry->FileName, ".gif");
    int32_t index = 1;
    if (!FileSaveDlg("Export Preview", folder, "Animated GIF (*.gif)|*.gif", index, file)) return;
    TImg img;
    int32_t important = ANIM_NONE;
    // A failure is shown by the command; the picture is released first.
    MonitoredKeep("wMain.ExportPreview", [&] {
      if (ChosenLogo_(img, important, false))
        SaveAnimGif(file, img, important, AnimStepsPerSecond(), 1);
    });
    ImgFree(img);
    if (NoError()) SetStatus("Preview exported to " + file, false);
  });
}

void TfrmMain::ListClicked_() {
  if (starting_ || busy_) return;
  Command_("wMain.lstFilesClick", [&] { ShowPreviewOfCurrent(); });
}

// ---- commands ------------------------------------------------------------------------------

void TfrmMain::Command_(const char* Name, const std::function<void()>& Body) {
  const bool outermost = commandDepth_ == 0;
  ++commandDepth_;
  std::string escaped;
  try {
    MonitoredKeep(Name, [&] { Body(); });
  } catch (...) {
    // Only the monitor's own bookkeeping could get here.
    escaped = DescribeException(std::current_exception());
  }
  --commandDepth_;
  if (!NoError()) {
    escaped = LastErrorText();
    ClearError();
  }
  if (outermost) {
    // At the top no operation runs any more, so a command that stopped half
    // way cannot leave the window disabled or the store marked busy.
    if (busyUI_) SetBusyUI(false);
    StoreBusy() = false;
  }
  if (!escaped.empty()) ShowError(escaped);
  if (outermost && closePending_) {
    closePending_ = false;
    close();
  }
}

// After a command that may have re-read the storage folder: the list is
// rebuilt when it changed, and Select (when valid) becomes current.
void TfrmMain::AfterListChange_(int32_t Select) {
  if (Select < 0 && ItemsMatchList_()) {
    lstFiles->viewport()->update();
    return;
  }
  RefreshListDisplay(Select < 0);
  if (Select >= 0) SelectIndex(Select);
}

void TfrmMain::ChangePositions_(const std::function<void(const TListSelection&)>& Change) {
  if (starting_ || busy_) return;
  Command_("wMain.ChangePositions", [&] {
    const TListSelection sel = Selection();
    Change(sel);
    WriteSelectedMarks_(sel);
    lstFiles->viewport()->update();
  });
}

// Marks changed in the window go to the files at once, so a later re-reading
// of the folder (Add, F5, a shuffle) does not undo them.
void TfrmMain::WriteSelectedMarks_(const TListSelection& Sel) {
  const std::string dir = GetStorageDir();
  for (int32_t i : Sel.Selected)
    if (const TLogoEntry* e = EntryAt(i))
      WriteMarks(dir + e->FileName, TLogoMarks{e->Positions, e->Used, MARKS_SIZE});
}

void TfrmMain::AddClick_() {
  Command_("wMain.btnAddClick", [&] { AfterListChange_(AddPictures()); });
}

void TfrmMain::OpenFiles(const std::vector<std::string>& Paths) {
  Command_("wMain.OpenFiles", [&] { AfterListChange_(AddDroppedFiles(Paths)); });
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* Event) {
  if (!busyUI_ && !LocalFiles(Event->mimeData()).empty()) Event->acceptProposedAction();
}

// The questions of the import are asked once the drop has finished, so the
// file manager is not kept waiting for its drag to end.
void TfrmMain::dropEvent(QDropEvent* Event) {
  const std::vector<std::string> files = LocalFiles(Event->mimeData());
  if (busyUI_ || files.empty()) return;
  Event->acceptProposedAction();
  QMetaObject::invokeMethod(this, [this, files] { OpenFiles(files); }, Qt::QueuedConnection);
}

// Ctrl+V: files copied in a file manager are added as if dropped; a picture
// is stored as "Custom--Pasted-YYYYMMDD-HHMMSS".
void TfrmMain::PasteClick_() {
  Command_("wMain.mnuPasteClick", [&] {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    std::vector<std::string> files = LocalFiles(data);
    if (!files.empty()) {
      AfterListChange_(AddDroppedFiles(files));
      return;
    }
    const QImage picture = data && data->hasImage() ? qvariant_cast<QImage>(data->imageData()) : QImage();
    if (picture.isNull()) {
      ShowInfo("The clipboard holds no picture to add.");
      return;
    }
    // The import reads files: the picture goes through a PNG of that name.
    QTemporaryDir folder;
    const std::string path =
        folder.path().toStdString() + "/" + PastedName(std::time(nullptr)) + ".png";
    if (!folder.isValid() || !picture.save(ToQ(path), "PNG")) {
      SetLastFileName(path);
      SetError(EG_FILE, 2, __LINE__);
    }
    AfterListChange_(AddDroppedFiles({path}));
  });
}

void TfrmMain::SaveWindowPlace_() {
  PrefsPrepare(SettingsFile(), WINDOW_SECTION);
  PrefsWriteStr("Place", saveGeometry().toBase64().toStdString());
}

bool TfrmMain::RestoreWindowPlace_() {
  PrefsPrepare(SettingsFile(), WINDOW_SECTION);
  std::string place;
  PrefsReadStr("Place", place, "");
  return !place.empty() &&
         restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(place)));
}

void TfrmMain::DeleteClick_() {
  Command_("wMain.btnDeleteClick", [&] { AfterListChange_(DeleteSelected(Selection())); });
}

void TfrmMain::RenameClick_() {
  Command_("wMain.mnuRenameClick", [&] { AfterListChange_(RenameSelected(Selection())); });
}

void TfrmMain::PositionClick_() {
  ChangePositions_([](const TListSelection& Sel) { ChoosePositionsSelected(Sel); });
}

void TfrmMain::PrefixClick_() {
  Command_("wMain.mnuPrefixClick", [&] { AfterListChange_(ChangePrefixSelected(Selection())); });
}

void TfrmMain::SetLogoClick_() {
  Command_("wMain.btnSetClick", [&] { SetSelectedAsLogo(Selection()); });
}

void TfrmMain::ShuffleClick_() {
  Command_("wMain.btnShuffleClick", [&] {
    ShuffleCommand();
    // The round's used marks go to the files now, so the next shuffle (which
    // starts from the files) goes on with the round.
    SaveLogoMarks();
    if (!ItemsMatchList_()) {
      const std::string text = statusText_;
      const bool bold = statusBold_;
      RefreshListDisplay(false);
      SetStatus(text, bold);
    }
  });
}

void TfrmMain::ExitClick_() { close(); }

void TfrmMain::GalOpenClick_() {
  Command_("wMain.mnuGalOpenClick", [&] {
    const int32_t select = OpenGalleryCommand();
    if (select < 0 && ItemsMatchList_()) return;
    RefreshListDisplay(select < 0);
    if (select >= 0) SelectIndex(select);
  });
}

void TfrmMain::GalCreateClick_() {
  Command_("wMain.mnuGalCreateClick", [&] {
    CreateGalleryCommand(Selection());
    SetStatus(StatusSummary(), false);
  });
}

void TfrmMain::ViewStartupClick_() { ViewLogo(POS_STARTUP); }
void TfrmMain::ViewWaitClick_() { ViewLogo(POS_WAIT); }
void TfrmMain::ViewTurnOffClick_() { ViewLogo(POS_TURNOFF); }

void TfrmMain::RefreshClick_() {
  Command_("wMain.mnuRefreshClick", [&] { ReloadList(true); });
}

void TfrmMain::OptionsClick_() {
  Command_("wMain.mnuOptionsClick", [&] { ExecOptionsDialog(this); });
}

void TfrmMain::FoldersClick_() {
  Command_("wMain.mnuFoldersClick", [&] {
    // The marks belong to the files of the present storage folder; once the
    // dialog has moved it they could no longer find them.
    SaveLogoMarks();
    ExecAdvancedDialog(this);
    ReloadList(true);
  });
}

void TfrmMain::DriveClick_() {
  Command_("wMain.mnuDriveClick", [&] {
    if (!ExecDriveDialog(this)) return;
    DriveChanged();
    ShowDrive_();
    ReloadList(true);
  });
}

// The title bar names the drive the logos are managed on.
void TfrmMain::ShowDrive_() {
  setWindowTitle(ToQ(std::string(APP_TITLE) + " - " + DriveCaption()));
}

void TfrmMain::RestoreClick_() {
  Command_("wMain.mnuRestoreClick", [&] { RestoreCommand(); });
}

void TfrmMain::OpenDocument_(const std::string& Name) {
  Command_("wMain.OpenDocument", [&] {
    const std::string path = FindDocument(Name);
    if (!path.empty() && ExecuteProgram(path, "", "", false)) return;
    // "Cannot open file" names the last file name, which is still the last
    // file read (a stored picture, say) until it is set to the document.
    SetLastFileName(path.empty() ? Name : path);
    SetError(EG_FILE, 1, __LINE__);
  });
}

void TfrmMain::OpenWebPage_(const char* Address) {
  if (!Address || !*Address) return;
  Command_("wMain.OpenWebPage", [&] { ExecuteProgram(Address, "", "", false); });
}

void TfrmMain::ManualClick_() { OpenDocument_("manual.html"); }
void TfrmMain::AboutClick_() { OpenDocument_("readme.txt"); }
void TfrmMain::WebSiteClick_() { OpenWebPage_(PRODUCT_WEB_PAGE); }
void TfrmMain::NoPatClick_() { OpenWebPage_(CAMPAIGN_WEB_PAGE); }

void TfrmMain::SysInfoClick_() {
  Command_("wMain.mnuSysInfoClick", [&] {
    QGuiApplication::clipboard()->setText(ToQ(SystemInformationText()));
    ShowInfo(
        "System information has been pasted to the clipboard, go to your email software or text "
        "editor and choose Edit / Paste to view it.");
  });
}

}  // namespace kvo
