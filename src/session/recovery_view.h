// The window as the recovery sees it: one call per operation the recovery
// performs on the window. Every call is synchronous: when it returns, the
// window has carried it out.
#pragma once

#include <string>

namespace velmorix::session {

enum class ColumnSet;  // session/folder_list.h

// Control identifiers of the main window.
enum ControlId : int {
  kItemList = 1009,
  kBackButton = 1011,
  kStopButton = 1012,
  kPathField = 1028,
  kNextButton = 1031,
  kBuyButton = 1044,
  kFolderTree = 1045,
  kSelectFileButton = 1046,
  kProgressBar = 1047,
  kStatusLine = 1048,
  kMailCountLabel = 1049,
  kMailCount = 1050,
  kFolderCountLabel = 1051,
  kFolderCount = 1052,
  kOpenButton = 1057,
  kLogoButton = 1058,
  kHelpButton = 1059,
  kAboutButton = 1060,
  kDeletedItemsButton = 1070,  // "Search for Deleted Items", on the results page
};

enum class MessageIcon { None, Information, Question };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

struct Message {
  std::string caption;  // "Velmorix", or the application's title
  std::string text;     // exact text, trailing blanks included
  std::string detail;   // why, shown as a second line under the text; "" = none
  MessageIcon icon = MessageIcon::Question;
  MessageButtons buttons = MessageButtons::Ok;
  bool ownedByWindow = true;  // false: shown without an owner window
};

inline constexpr const char* kCaption = "Velmorix";

class RecoveryView {
 public:
  virtual ~RecoveryView() = default;

  virtual void SetControlText(int id, const std::string& text) = 0;
  virtual void ShowControl(int id, bool shown) = 0;
  virtual void EnableControl(int id, bool enabled) = 0;
  virtual void SetProgressRange(int low, int high) = 0;
  virtual void SetProgressPosition(int position) = 0;
  virtual void StartProgressTimer() = 0;
  virtual void StopProgressTimer() = 0;
  // Path field, "Select File..." and Next shown; tree, list, progress bar,
  // Back, Stop, status line and the four counter texts hidden; path field "".
  virtual void ApplyFileSelectionLayout() = 0;
  // Tree, list, Stop, Back, status line and counters shown; path field,
  // "Select File..." and Next hidden.
  virtual void ApplyScanningLayout() = 0;
  // Removes all rows of the item list (giving it the start column set) and
  // all items of the folder tree.
  virtual void ClearViews() = 0;
  virtual void InsertFolderPath(const std::string& path) = 0;
  // The folder inserted with `path` now shows the list of `set`: its tree
  // picture follows that kind unless its name has a picture of its own.
  virtual void SetFolderKind(const std::string& /*path*/, ColumnSet /*set*/) {}
  virtual MessageAnswer ShowMessage(const Message& message) = 0;
};

}  // namespace velmorix::session
