#pragma once
// What the loader sees of its row in the window's process list: a caption
// and seven sub-item texts, Windows-1251. The window implements it; the loader
// only touches it on the main thread, from its row refresh.
#include <string>

namespace loader {

class TListRow {
public:
  virtual ~TListRow() = default;
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string &Text) = 0;
  // Sub-items 0..6: meter type, network address, version before, version
  // after, elapsed time, errors, state.
  virtual std::string SubItem(int Index) const = 0;
  virtual void SetSubItem(int Index, const std::string &Text) = 0;
};

} // namespace loader
