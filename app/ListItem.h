#pragma once
// A process row of the window's process list: a caption (column 0) and one
// sub-item per further column, and its data reference, the loader it owns
// with the loader's place among the processes.
// The loader writes its row through loader::TListRow with Windows-1251 texts;
// the row converts them where they meet Qt.
#include "app/ProcessPlaces.h"
#include "loader/ListRow.h"
#include "loader/Quorlan.h"

#include <QTreeWidgetItem>

#include <functional>

namespace app {

class TListItem : public QTreeWidgetItem, public loader::TListRow {
public:
  // A row with one empty sub-item per list column.
  explicit TListItem(int ColumnCount);
  // Fires FOnDeletion while the row is still whole, then frees whatever
  // loader the row still holds, and gives its place back.
  ~TListItem() override;
  TListItem(const TListItem &) = delete;
  TListItem &operator=(const TListItem &) = delete;

  std::string Caption() const override;
  void SetCaption(const std::string &Text) override;
  std::string SubItem(int Index) const override;
  void SetSubItem(int Index, const std::string &Text) override;

  // The loader of the row; the row owns it and its place.
  loader::TQuorlan *Data() const { return FData.Loader.get(); }
  TPlacedLoader FData;

  // The list's deletion event, fired once for the row as it goes.
  std::function<void(TListItem *)> FOnDeletion;
};

} // namespace app
