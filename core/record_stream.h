// The record stream: a zlib gzip file read or written as one sequence of bytes.
// Four thin functions, each one call into zlib; a null handle (failed open) is accepted.
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
