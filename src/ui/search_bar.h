// The search controls above the item list: the text, the scope (this folder
// or all folders), "Search message text", a date range, the count of what
// was found with a Stop for the reading in the background, and the reading
// pane's switch. It only holds the controls; the window runs the search.
#pragma once

#include <QWidget>

#include "search/query.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QToolButton;

namespace velmorix::ui {

class SearchBar : public QWidget {
  Q_OBJECT

 public:
  enum class Scope { ThisFolder = 0, AllFolders = 1 };

  explicit SearchBar(QWidget* parent = nullptr);

  QLineEdit* field() const { return field_; }
  QComboBox* scopeChoice() const { return scope_; }
  QCheckBox* messageText() const { return messageText_; }
  QCheckBox* dates() const { return dates_; }
  QDateEdit* from() const { return from_; }
  QDateEdit* to() const { return to_; }
  QLabel* count() const { return count_; }
  QToolButton* stopButton() const { return stop_; }
  QCheckBox* readingPane() const { return pane_; }

  Scope scope() const;
  void SetScope(Scope scope);
  // The query the controls make: the text in the headline fields, and in
  // bodies and attachment names with "Search message text"; the days
  // From to To (both included, UTC) when the dates are on.
  search::Query query() const;
  // Whether anything narrows the list (a text or the dates).
  bool active() const;
  // Empties the text and turns the dates off.
  void Clear();

 signals:
  // The text, the scope or an option changed.
  void changed();
  void stopRequested();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QLineEdit* field_ = nullptr;
  QComboBox* scope_ = nullptr;
  QCheckBox* messageText_ = nullptr;
  QCheckBox* dates_ = nullptr;
  QDateEdit* from_ = nullptr;
  QDateEdit* to_ = nullptr;
  QLabel* count_ = nullptr;
  QToolButton* stop_ = nullptr;
  QCheckBox* pane_ = nullptr;
};

}  // namespace velmorix::ui
