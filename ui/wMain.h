// SPDX-License-Identifier: GPL-3.0-or-later
// The main window: the list of stored pictures with their position marks,
// the preview, the tool bar, the menu and the status bar. Its handlers are
// thin: each calls one operation of the logo manager core, inside a keeping
// frame, and shows what went wrong there.
#pragma once

#include <QPointer>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/Store.h"
#include "ui/CtlPreview.h"
#include "ui/FileList.h"
#include "ui/wBootPreview.h"
#include "ui/wFormNormal.h"

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QSplitter;
class QToolButton;

namespace kvo {

// The client area and the places of its parts.
inline constexpr int MAIN_CLIENT_WIDTH = 624;
inline constexpr int MAIN_CLIENT_HEIGHT = 327;
inline constexpr int MAIN_TOOLS_HEIGHT = 54;
inline constexpr int MAIN_STATUS_HEIGHT = 23;
inline constexpr int MAIN_LIST_WIDTH = 321;
inline constexpr int PREVIEW_MARGIN = 2;
// A logo shown in the proportion of the screen it fills: 320 x 400 pixels
// stretched to 6 : 5. The preview grows with the window in that shape.
inline constexpr int PREVIEW_WIDTH = 480;
inline constexpr int PREVIEW_HEIGHT = 400;

// The largest size of the logo's shape (6 : 5) inside Width x Height, at
// least 1 x 1.
void PreviewFit(int Width, int Height, int& FitWidth, int& FitHeight);
// What the preview says when the drive has no logo at Position.
std::string NoLogoText(uint32_t Position);

// The campaign page behind the button beside the tool bar.
inline constexpr const char* CAMPAIGN_WEB_PAGE = "https://ffii.org/";
// The product's web page. This edition has none, so "Web Site" stays grey.
inline constexpr const char* PRODUCT_WEB_PAGE = "";

// Value with a comma between groups of three digits ("16,777,216").
std::string DigitGroups(uint64_t Value);
// The system information text, lines ended by CR LF.
std::string SystemInformationText();
// The first of: the application folder, the installation's document folder
// (share/doc/kvopanoramics/ beside the program's bin/, then the one of the
// configured prefix), the source tree's docs/ that holds Name; empty when
// none does.
std::string FindDocument(const std::string& Name);

class TfrmMain : public TFormNormal {
  Q_OBJECT

 public:
  explicit TfrmMain(QWidget* Parent = nullptr);
  ~TfrmMain() override;

  // The program entry loads the settings (and handles the switches) before
  // any window exists; a window told so does not load them again.
  void SetSettingsLoaded(bool Loaded) { settingsLoaded_ = Loaded; }
  // The end sequence: settings, marks, preview. Runs once, whichever of
  // the close box, Exit or the end of the event loop comes first.
  void EndSession();
  // Files handed over by the desktop (dropped on the window, named on the
  // command line): galleries opened as Gallery > Open opens them, pictures
  // and the pictures in folders added as Add adds them.
  void OpenFiles(const std::vector<std::string>& Paths);

  // ---- window procedures ----------------------------------------------------
  void SetStatus(const std::string& Text, bool Bold);
  void SetBusyUI(bool Busy);
  void RefreshListDisplay(bool WithPreview);
  void ReloadList(bool WithPreview);
  void SelectIndex(int32_t Index);
  void SelectFileName(const std::string& Name);
  void ShowPreviewOfCurrent();
  void ViewLogo(uint32_t Position);
  // The boot preview of the logo the preview shows: the current logo last
  // viewed, else the current entry composed as the Startup logo.
  void BootPreview();
  // Image > Export Preview...: the current entry composed as the Startup
  // logo, as an animated GIF.
  void ExportPreview();
  TfrmBootPreview* BootPreviewForm() const { return bootPreview_; }
  // The list's selected entries and its current one.
  TListSelection Selection() const;

  bool Starting() const { return starting_; }
  bool Busy() const { return busy_; }
  bool BusyUI() const { return busyUI_; }
  std::string StatusText() const { return statusText_; }
  std::string PreviewCaption() const;
  bool StatusBold() const { return statusBold_; }

  // ---- controls ---------------------------------------------------------------
  QFrame* panTools = nullptr;
  QToolButton* btnAdd = nullptr;
  QToolButton* btnSet = nullptr;
  QToolButton* btnShuffle = nullptr;
  QToolButton* btnDelete = nullptr;
  QToolButton* btnHelp = nullptr;
  QToolButton* btnAbout = nullptr;
  QToolButton* btnExit = nullptr;
  QToolButton* btnNoPat = nullptr;
  TFileList* lstFiles = nullptr;
  QSplitter* splMain = nullptr;
  // The caption over the preview: what it shows.
  QLabel* lblPreview = nullptr;
  QFrame* Panel2 = nullptr;
  // Inside the preview when there is nothing to show (a missing logo).
  QLabel* lblPreviewNote = nullptr;
  QLabel* panStatus = nullptr;
  QMenu* mnuContext = nullptr;

  QMenu* mnuImage = nullptr;
  QAction* mnuAdd = nullptr;
  QAction* mnuPaste = nullptr;
  QAction* mnuDelete = nullptr;
  QAction* mnuRename = nullptr;
  QAction* mnuPosition = nullptr;
  QAction* mnuPrefix = nullptr;
  QAction* mnuSetLogo = nullptr;
  QAction* mnuExportPreview = nullptr;
  QAction* mnuShuffle = nullptr;
  QAction* mnuExit = nullptr;
  QMenu* mnuGallery = nullptr;
  QAction* mnuGalOpen = nullptr;
  QAction* mnuGalCreate = nullptr;
  QMenu* mnuView = nullptr;
  QAction* mnuViewStartup = nullptr;
  QAction* mnuViewWait = nullptr;
  QAction* mnuViewTurnOff = nullptr;
  QAction* mnuViewAsStartup = nullptr;
  QAction* mnuBootPreview = nullptr;
  QAction* mnuRefresh = nullptr;
  QMenu* mnuTools = nullptr;
  QAction* mnuOptions = nullptr;
  QAction* mnuFolders = nullptr;
  QAction* mnuDrive = nullptr;
  QAction* mnuRestore = nullptr;
  QMenu* mnuHelp = nullptr;
  QAction* mnuManual = nullptr;
  QAction* mnuWebSite = nullptr;
  QAction* mnuSysInfo = nullptr;
  QAction* mnuAbout = nullptr;

  TPreview Preview;

 protected:
  void showEvent(QShowEvent* Event) override;
  void closeEvent(QCloseEvent* Event) override;
  bool eventFilter(QObject* Watched, QEvent* Event) override;
  void dragEnterEvent(QDragEnterEvent* Event) override;
  void dropEvent(QDropEvent* Event) override;
  void changeEvent(QEvent* Event) override;

 private:
  void BuildClient_();
  void BuildTools_(QWidget* Client);
  QToolButton* AddToolButton_(const char* Name, const QString& Caption, int Left,
                              const char* IconName, int Glyph);
  // Gives the tool buttons their icons in the present colour scheme.
  void PaintToolIcons_();
  void BuildMenus_();
  void BuildImageMenu_();
  void BuildGalleryAndViewMenus_();
  void BuildToolsAndHelpMenus_();
  QAction* AddItem_(QMenu* Menu, const char* Name, const QString& Caption,
                    void (TfrmMain::*Slot)());
  void ConnectButtons_();
  void InstallWindowEntries_();
  void BuildContextMenu_();
  void SetAccessibleNames_();
  void SetTabOrder_();

  void FormShow_();
  void FormResize_();
  void SetHints_();
  bool FormKeyDown_(int Key);

  // Runs Body as one command: a keeping frame, the recorded error shown in
  // a box, and nothing thrown on. The outermost command also puts the
  // window back to normal should the core have stopped half way.
  void Command_(const char* Name, const std::function<void()>& Body);
  void AfterListChange_(int32_t Select);
  bool ItemsMatchList_() const;
  void SyncItems_();
  void ShowStoredPreview_(const std::string& Path, bool AsStartupLogo = false);
  // Fits a loaded picture to the preview and shows it.
  void ShowFitted_(TImg& Img, int32_t Important);
  void SetPreviewCaption_(const QString& Caption, const QString& Note = QString());
  // The logo a boot preview or an export shows: the viewed current logo
  // (when Viewed allows it), else the current entry composed as the Startup
  // logo. False, reported, when there is none.
  bool ChosenLogo_(TImg& Img, int32_t& Important, bool Viewed);
  void ChangePositions_(const std::function<void(const TListSelection&)>& Change);
  void WriteSelectedMarks_(const TListSelection& Sel);
  void ListClicked_();
  void OpenDocument_(const std::string& Name);
  void OpenWebPage_(const char* Address);
  void ShowDrive_();
  void RefreshViewedLogo_();

  // ---- commands ------------------------------------------------------------------
  void AddClick_();
  void PasteClick_();
  // The window's size and place, kept in the settings file between runs.
  void SaveWindowPlace_();
  bool RestoreWindowPlace_();
  void RestoreViewChoices_();
  void DeleteClick_();
  void RenameClick_();
  void PositionClick_();
  void PrefixClick_();
  void SetLogoClick_();
  void ShuffleClick_();
  void ExitClick_();
  void GalOpenClick_();
  void GalCreateClick_();
  void ViewStartupClick_();
  void ViewWaitClick_();
  void ViewTurnOffClick_();
  void RefreshClick_();
  void OptionsClick_();
  void FoldersClick_();
  void DriveClick_();
  void RestoreClick_();
  void ManualClick_();
  void WebSiteClick_();
  void SysInfoClick_();
  void AboutClick_();
  void NoPatClick_();

  QWidget* client_ = nullptr;
  bool settingsLoaded_ = false;
  bool started_ = false;
  bool starting_ = true;  // until the start sequence has run; again from the end sequence
  bool busy_ = false;     // the list is being rebuilt or a preview loaded
  bool busyUI_ = false;   // a long operation has the buttons and menu items disabled
  bool closePending_ = false;  // closing was asked for while a long operation ran
  int commandDepth_ = 0;
  int32_t previewRow_ = -1;  // the list entry the preview shows; -1 for none or a logo
  uint32_t viewedLogo_ = 0;  // the position whose current logo the preview shows; 0 for none
  QPointer<TfrmBootPreview> bootPreview_;
  std::string statusText_;
  bool statusBold_ = false;
};

}  // namespace kvo
