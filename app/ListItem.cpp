#include "app/ListItem.h"

#include "app/QtText.h"

namespace app {

TListItem::TListItem(int ColumnCount) : QTreeWidgetItem(QStringList(QVector<QString>(ColumnCount)))
{
  // The caption is left-aligned, the sub-items are centred like their headers.
  for (int i = 1; i < ColumnCount; ++i)
    setTextAlignment(i, Qt::AlignCenter);
}

TListItem::~TListItem()
{
  if (const auto OnDeletion = std::move(FOnDeletion))
    OnDeletion(this);
  if (FData.Loader) {
    FData.Loader->FListItem = nullptr;
    FData = nullptr;
  }
}

std::string TListItem::Caption() const { return FromQt(text(0)); }

void TListItem::SetCaption(const std::string &Text) { setText(0, ToQt(Text)); }

std::string TListItem::SubItem(int Index) const
{
  if (Index < 0 || Index + 1 >= columnCount())
    return {};
  return FromQt(text(Index + 1));
}

void TListItem::SetSubItem(int Index, const std::string &Text)
{
  if (Index < 0 || Index + 1 >= columnCount())
    return;
  setText(Index + 1, ToQt(Text));
}

} // namespace app
