#include "ui/search_bar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

#include "ui/text.h"

namespace velmorix::ui {

namespace {

// Midnight UTC of `date` as a FILETIME.
uint64_t FileTimeOf(const QDate& date) {
  const auto text = date.toString(Qt::ISODate).toStdString();
  return search::ParseDate(text).value_or(0);
}

}  // namespace

SearchBar::SearchBar(QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(4);
  field_ = new QLineEdit(this);
  field_->setObjectName(QStringLiteral("searchField"));
  field_->setPlaceholderText(QStringLiteral("Search (Ctrl+F)"));
  field_->setClearButtonEnabled(true);
  field_->installEventFilter(this);
  row->addWidget(field_, 1);
  scope_ = new QComboBox(this);
  scope_->addItems({QStringLiteral("This folder"), QStringLiteral("All folders")});
  row->addWidget(scope_);
  messageText_ = new QCheckBox(QStringLiteral("Search message text"), this);
  row->addWidget(messageText_);
  dates_ = new QCheckBox(QStringLiteral("From"), this);
  row->addWidget(dates_);
  from_ = new QDateEdit(QDate::currentDate().addMonths(-1), this);
  to_ = new QDateEdit(QDate::currentDate(), this);
  for (QDateEdit* edit : {from_, to_}) {
    edit->setCalendarPopup(true);
    edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    edit->setEnabled(false);
  }
  row->addWidget(from_);
  row->addWidget(new QLabel(QStringLiteral("To"), this));
  row->addWidget(to_);
  count_ = new QLabel(this);
  count_->setObjectName(QStringLiteral("searchCount"));
  row->addWidget(count_);
  stop_ = new QToolButton(this);
  stop_->setText(QStringLiteral("Stop"));
  stop_->hide();
  row->addWidget(stop_);
  pane_ = new QCheckBox(QStringLiteral("Reading pane"), this);
  pane_->setChecked(true);
  row->addWidget(pane_);

  connect(field_, &QLineEdit::textChanged, this, &SearchBar::changed);
  connect(scope_, &QComboBox::currentIndexChanged, this, &SearchBar::changed);
  connect(messageText_, &QCheckBox::toggled, this, &SearchBar::changed);
  connect(dates_, &QCheckBox::toggled, this, [this](bool on) {
    from_->setEnabled(on);
    to_->setEnabled(on);
    emit changed();
  });
  connect(from_, &QDateEdit::dateChanged, this, [this] {
    if (dates_->isChecked()) emit changed();
  });
  connect(to_, &QDateEdit::dateChanged, this, [this] {
    if (dates_->isChecked()) emit changed();
  });
  connect(stop_, &QToolButton::clicked, this, &SearchBar::stopRequested);
}

SearchBar::Scope SearchBar::scope() const { return static_cast<Scope>(scope_->currentIndex()); }

void SearchBar::SetScope(Scope scope) { scope_->setCurrentIndex(static_cast<int>(scope)); }

search::Query SearchBar::query() const {
  search::Query q;
  q.text = field_->text().toStdString();
  q.fields = search::kHeadlineFields | (messageText_->isChecked() ? search::kContentFields : 0u);
  if (dates_->isChecked()) {
    q.after = FileTimeOf(from_->date());
    const uint64_t to = FileTimeOf(to_->date());
    q.before = to == 0 ? 0 : search::NextDay(to);
  }
  return q;
}

bool SearchBar::active() const { return !field_->text().isEmpty() || dates_->isChecked(); }

void SearchBar::Clear() {
  dates_->setChecked(false);
  field_->clear();
}

bool SearchBar::eventFilter(QObject* watched, QEvent* event) {
  // Esc in the field empties it (and never reaches the window).
  if (watched == field_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    Clear();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace velmorix::ui
