#pragma once
// Making room in a file before its contents are overwritten, so that a full
// disk or a file-size limit shows before a single old byte is touched.
#include <sys/types.h>

namespace platform {

// Grows the open regular file Fd from OldSize to NewSize bytes (nothing when
// NewSize is not larger) with the space allocated: posix_fallocate where the
// file system has it, else by writing zeros past the old end. 0 on success,
// else the error number; the file is then OldSize bytes long again with its
// first OldSize bytes untouched.
int ReserveFileSpace(int Fd, off_t OldSize, off_t NewSize);

// The fallback of ReserveFileSpace: zeros written from OldSize to NewSize.
int ExtendWithZeros(int Fd, off_t OldSize, off_t NewSize);

} // namespace platform
