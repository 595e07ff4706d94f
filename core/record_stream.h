// The record stream: a zlib gzip file read or written as one sequence of bytes.
// Four thin functions, each one call into zlib; a null handle (failed open) is accepted.
// Beside them, what zlib knows about a stream that failed: the fault behind a record read
// that returned -1, and a close that says whether everything written reached the file.
#pragma once

#include <zlib.h>

// Opens `path` with mode "wb" when writeFlag is non-zero, else "rb"; null when it cannot.
gzFile qn4tGenericOpen(const char *path, int writeFlag);

// Closes the stream; zlib's result is not passed on.
void qn4tGenericClose(gzFile stream);

// Moves the position by `offset` bytes from the current one; the result is not passed on.
void qn4tGenericSeek(gzFile stream, int offset);

// 1 once a read stream has run into the end of its input, else 0.
int qn4tGenericEOF(gzFile stream);

namespace qn4t {

// What went wrong on a stream, taken from zlib while its handle is still open.
struct StreamFault {
    int zlib_error = Z_OK;   // Z_OK: nothing went wrong; Z_ERRNO: the system's, see below
    int system_error = 0;    // errno of a Z_ERRNO fault; 0 when it is no longer known
    char message[256] = {};  // zlib's own description ("" when nothing went wrong)

    explicit operator bool() const { return zlib_error != Z_OK; }
};

// The fault zlib has recorded on a stream; none for a null handle. `system_error` is errno
// as it stood right after the call that failed, kept for a Z_ERRNO fault.
StreamFault stream_fault(gzFile stream, int system_error);

// Why a record read on a stream opened for reading returned -1, asked right after it (with
// errno as it stood then): no fault at a clean end of the data or on a null handle;
// Z_BUF_ERROR when the compressed data is cut short; Z_DATA_ERROR when it is corrupt or
// fails its check; Z_ERRNO for the system's read error; Z_MEM_ERROR when the stream is
// sound but memory for the record ran out.
StreamFault read_failure(gzFile stream, int system_error);

// Closes a stream opened for writing, finishing its compressed data first, and says whether
// everything written reached the file: no fault, or the first one met (a write that failed
// earlier, the final flush, the close of the file). The handle is released either way.
StreamFault close_written(gzFile stream);

}  // namespace qn4t
