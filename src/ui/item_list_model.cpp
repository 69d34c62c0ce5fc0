#include "ui/item_list_model.h"

#include <algorithm>
#include <numeric>

#include "ui/pictures.h"
#include "ui/text.h"

namespace velmorix::ui {

namespace {

// A report row shows one line per cell: line breaks inside a text (postal
// addresses, note bodies) become blanks.
QString SingleLine(QString text) {
  text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
  text.replace(QLatin1Char('\r'), QLatin1Char(' '));
  text.replace(QLatin1Char('\n'), QLatin1Char(' '));
  return text;
}

const QString& NoText() {
  static const QString empty;
  return empty;
}

// Texts folded to one case, end to end in one buffer: ASCII ones folded
// here, others by Qt's case folding. Compared as plain code units.
class FoldedTexts {
 public:
  explicit FoldedTexts(size_t count) { starts_.reserve(count + 1); }
  void Add(const QString& text) {
    if (std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; })) {
      for (QChar c : text) {
        const char16_t u = c.unicode();
        units_.push_back(u >= u'A' && u <= u'Z' ? static_cast<char16_t>(u + 0x20) : u);
      }
    } else {
      for (QChar c : text.toCaseFolded()) units_.push_back(c.unicode());
    }
    starts_.push_back(units_.size());
  }
  size_t size() const { return starts_.size() - 1; }
  QStringView operator[](size_t i) const {
    return QStringView(units_.data() + starts_[i], static_cast<qsizetype>(starts_[i + 1] - starts_[i]));
  }

 private:
  std::vector<char16_t> units_;
  std::vector<size_t> starts_{0};
};

// Dense ranks (equal keys, equal ranks) of every date; returns how many
// distinct ranks there are.
uint32_t RankDates(const std::vector<uint64_t>& dates, std::vector<uint32_t>& ranks) {
  std::vector<size_t> byDate(dates.size());
  std::iota(byDate.begin(), byDate.end(), size_t{0});
  std::sort(byDate.begin(), byDate.end(), [&](size_t a, size_t b) { return dates[a] < dates[b]; });
  uint32_t distinct = 0;
  for (size_t i = 0; i < byDate.size(); ++i) {
    if (i == 0 || dates[byDate[i - 1]] != dates[byDate[i]]) ++distinct;
    ranks[byDate[i]] = distinct - 1;
  }
  return distinct;
}

// The same for texts. Most comparisons are settled by four code units
// packed in a number, taken after the start every text shares ("RE: ",
// "Subject "): the texts themselves are compared only when those are equal.
uint32_t RankTexts(const FoldedTexts& texts, std::vector<uint32_t>& ranks) {
  const size_t n = texts.size();
  size_t common = n > 0 ? static_cast<size_t>(texts[0].size()) : 0;
  for (size_t i = 1; i < n && common > 0; ++i) {
    const QStringView text = texts[i], first = texts[0];
    size_t same = 0;
    const size_t most = std::min(common, static_cast<size_t>(text.size()));
    while (same < most && text[static_cast<qsizetype>(same)] == first[static_cast<qsizetype>(same)]) ++same;
    common = same;
  }
  struct Keyed {
    uint64_t prefix;
    size_t row;
  };
  std::vector<Keyed> keyed(n);
  for (size_t i = 0; i < n; ++i) {
    const QStringView text = texts[i];
    uint64_t packed = 0;
    for (size_t u = 0; u < 4; ++u) {
      const size_t at = common + u;
      const uint64_t unit = at < static_cast<size_t>(text.size()) ? text[static_cast<qsizetype>(at)].unicode() : 0;
      packed |= unit << (48 - 16 * u);
    }
    keyed[i] = {packed, i};
  }
  std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
    return a.prefix != b.prefix ? a.prefix < b.prefix : texts[a.row] < texts[b.row];
  });
  uint32_t distinct = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i == 0 || keyed[i - 1].prefix != keyed[i].prefix || texts[keyed[i - 1].row] != texts[keyed[i].row]) ++distinct;
    ranks[keyed[i].row] = distinct - 1;
  }
  return distinct;
}

}  // namespace

ItemListModel::ItemListModel(QObject* parent) : QAbstractTableModel(parent) {}

void ItemListModel::Reset(const QStringList& titles) {
  beginResetModel();
  titles_ = titles;
  rows_.clear();
  order_.clear();
  ranks_.assign(static_cast<size_t>(titles.size()), {});
  rankCounts_.assign(static_cast<size_t>(titles.size()), 0);
  endResetModel();
}

void ItemListModel::Append(const std::vector<session::ListRow>& rows) {
  if (rows.empty()) return;
  const int first = rowCount();
  beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
  rows_.reserve(rows_.size() + rows.size());
  order_.reserve(order_.size() + rows.size());
  const size_t columns = static_cast<size_t>(titles_.size());
  for (const session::ListRow& row : rows) {
    Row r;
    r.picture = row.picture;
    r.nodeId = row.nodeId;
    r.date = row.date;
    const size_t cells = std::min(columns, row.cells.size());
    r.cells.reserve(cells);
    for (size_t i = 0; i < cells; ++i) r.cells.push_back(row.cells[i].empty() ? QString() : SingleLine(ToQString(row.cells[i])));
    order_.push_back(static_cast<int>(rows_.size()));
    rows_.push_back(std::move(r));
  }
  endInsertRows();
}

const QString& ItemListModel::Text(int row, int column) const {
  const Row& r = At(row);
  return column >= 0 && static_cast<size_t>(column) < r.cells.size() ? r.cells[static_cast<size_t>(column)] : NoText();
}

uint32_t ItemListModel::Ranks(int column, bool byDate) {
  std::vector<uint32_t>& ranks = ranks_[static_cast<size_t>(column)];
  const size_t n = rows_.size();
  if (ranks.size() == n) return rankCounts_[static_cast<size_t>(column)];
  ranks.assign(n, 0);
  uint32_t distinct = 0;
  if (byDate) {
    std::vector<uint64_t> dates(n);
    for (size_t i = 0; i < n; ++i) dates[i] = rows_[i].date;
    distinct = RankDates(dates, ranks);
  } else {
    FoldedTexts texts(n);
    for (const Row& row : rows_) texts.Add(static_cast<size_t>(column) < row.cells.size() ? row.cells[static_cast<size_t>(column)] : NoText());
    distinct = RankTexts(texts, ranks);
  }
  rankCounts_[static_cast<size_t>(column)] = distinct;
  return distinct;
}

void ItemListModel::Sort(int column, Qt::SortOrder order, bool byDate) {
  if (column < 0 || column >= columnCount()) return;
  const uint32_t buckets = Ranks(column, byDate);
  const std::vector<uint32_t>& ranks = ranks_[static_cast<size_t>(column)];
  auto bucket = [&](int r) {
    const uint32_t k = ranks[static_cast<size_t>(r)];
    return order == Qt::AscendingOrder ? k : buckets - 1 - k;
  };
  // A stable bucket pass over the rows as shown: equal keys keep their order.
  std::vector<int> starts(static_cast<size_t>(buckets) + 1, 0);
  for (int r : order_) ++starts[bucket(r) + 1];
  std::partial_sum(starts.begin(), starts.end(), starts.begin());
  std::vector<int> sorted(order_.size());
  for (int r : order_) sorted[static_cast<size_t>(starts[bucket(r)]++)] = r;
  if (sorted == order_) return;

  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  // Only the indexes the view and its selection hold move: usually a few.
  const QModelIndexList from = persistentIndexList();
  if (!from.isEmpty()) {
    std::vector<int> place(rows_.size());
    for (size_t i = 0; i < sorted.size(); ++i) place[static_cast<size_t>(sorted[i])] = static_cast<int>(i);
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& index : from) {
      to.append(createIndex(place[static_cast<size_t>(order_[static_cast<size_t>(index.row())])], index.column()));
    }
    changePersistentIndexList(from, to);
  }
  order_ = std::move(sorted);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

int ItemListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(order_.size());
}

int ItemListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(titles_.size());
}

const QIcon& ItemListModel::Icon(int picture) const {
  // One icon per picture, shared by every row that shows it.
  const size_t at = picture >= 0 && picture < kListImageCount ? static_cast<size_t>(picture) : 0;
  if (icons_.empty()) icons_.resize(kListImageCount);
  if (icons_[at].isNull()) icons_[at] = QIcon(ListImage(static_cast<int>(at)));
  return icons_[at];
}

QVariant ItemListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || index.column() >= columnCount()) return {};
  const Row& r = At(index.row());
  if (role == Qt::DisplayRole) {
    const QString& text = Text(index.row(), index.column());
    return text.isEmpty() ? QVariant() : QVariant(text);
  }
  if (index.column() != 0) return {};
  switch (role) {
    case Qt::DecorationRole: return Icon(r.picture);
    case kPictureRole: return r.picture;
    case kNodeIdRole: return r.nodeId;
    case kDateRole: return r.date != 0 ? QVariant::fromValue<qulonglong>(r.date) : QVariant();
    default: return {};
  }
}

QVariant ItemListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= titles_.size()) return {};
  return titles_[section];
}

Qt::ItemFlags ItemListModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

}  // namespace velmorix::ui
