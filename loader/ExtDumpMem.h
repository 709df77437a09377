#pragma once
// One memory image: the bytes the loader writes into a meter's memory,
// addressed by image offset from 0; an erased byte is 0xFF.
//
// Loader threads read an image while the main thread may replace it (the
// operator opens an image file). The bytes are therefore never changed in
// place: every change builds a new byte string and swaps it in as a whole under
// a small lock. A read works on the byte string it took, so it sees either the
// old or the new image, never a mix; `Snapshot` hands a reader one whole image
// to keep for as long as it needs.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace loader {

// The size of a full image.
inline constexpr std::int32_t DumpMemSize = 131072;

class TExtDumpMem {
public:
  // An image of ASize bytes (none when ASize <= 0), every byte 0xFF.
  explicit TExtDumpMem(std::int32_t ASize);
  ~TExtDumpMem();
  TExtDumpMem(const TExtDumpMem &) = delete;
  TExtDumpMem &operator=(const TExtDumpMem &) = delete;

  // Reads an image file: the image becomes DumpMemSize bytes, the file's
  // bytes from offset 0 and 0xFF after them. Returns the file's length, or 0
  // when no such file exists (a directory counts as none) and the image is
  // left as it was. A file that cannot be opened or read completely, or that
  // is longer than DumpMemSize, raises an EFileError (FileErrors.h) naming the
  // file and the reason; the image is then left as it was.
  std::int64_t LoadFromFile(const std::string &FileName);

  // The image becomes a copy of S, of S's length.
  void LoadFromStr(const std::string &S);

  // Writes the image in the format chosen by the file name's extension,
  // letter case included: ".pas" source-unit text, ".txt" TI-TXT listing,
  // ".tsk" the raw bytes; any other name writes nothing. When a text file
  // cannot be created nothing is written and nothing is reported; a raw dump
  // that cannot be created raises EFCreateError; a failed write raises
  // EWriteError. A name that is not a regular file (a named pipe, a device)
  // raises EFCreateError in every format and gets nothing.
  void SaveToFile(const std::string &FileName) const;

  // At most Count bytes from image offset Offset (fewer where the image ends);
  // empty when Offset lies outside the image or Count <= 0.
  std::string GetBlock(std::int32_t Offset, std::int32_t Count) const;

  std::int32_t GetSize() const;

  // Sets the size to N (N <= 0 empties the image); bytes up to the old size
  // keep their values, new bytes are 0xFF.
  void SetSize(std::int32_t N);

  // The whole image as it is now; it does not change when the image does.
  std::shared_ptr<const std::string> Snapshot() const;

  // The first image offset the loader writes into a meter.
  const std::int32_t FWriteStart = 20480;
  // Marks at 0x3C00 and 0x3200; nothing reads them. The TI-TXT listing begins
  // at FMarkB's offset.
  const std::int32_t FMarkA = 15360;
  const std::int32_t FMarkB = 12800;

private:
  void Replace(std::shared_ptr<const std::string> Data);

  mutable std::mutex FDataLock;
  std::shared_ptr<const std::string> FData; // guarded by FDataLock
};

} // namespace loader
