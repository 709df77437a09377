#pragma once
// Errors raised by reading and writing image files. Each message names the
// file's full path and the reason the system gave; the error code is the
// system's (errno), 0 where the system reported none.
#include <stdexcept>
#include <string>

namespace loader {

class EFileError : public std::runtime_error {
public:
  EFileError(const std::string &Message, int ErrorCode) : std::runtime_error(Message), FErrorCode(ErrorCode)
  {
  }
  int ErrorCode() const noexcept { return FErrorCode; }

private:
  int FErrorCode;
};

// The file exists but cannot be opened for reading (or is refused).
class EFOpenError : public EFileError {
  using EFileError::EFileError;
};

// The file cannot be created for writing.
class EFCreateError : public EFileError {
  using EFileError::EFileError;
};

// The file delivered fewer bytes than its length.
class EReadError : public EFileError {
  using EFileError::EFileError;
};

// Writing the file failed after it was created.
class EWriteError : public EFileError {
  using EFileError::EFileError;
};

} // namespace loader
