// The four record stream functions over zlib's gzip file interface.
#include "record_stream.h"

#include <cstdio>

gzFile qn4tGenericOpen(const char *path, int writeFlag) {
    if (writeFlag == 0) return gzopen(path, "rb");
    gzFile stream = gzopen(path, "wb");
    // zlib sets up its write buffers on the first write; a forward seek made before
    // that would fill the gap from the uninitialised buffer, putting stale heap bytes
    // into the file. An empty flush sets the buffers up now and writes nothing.
    if (stream) gzflush(stream, Z_NO_FLUSH);
    return stream;
}

void qn4tGenericClose(gzFile stream) {
    if (stream) gzclose(stream);
}

void qn4tGenericSeek(gzFile stream, int offset) {
    if (stream) gzseek(stream, offset, SEEK_CUR);
}

int qn4tGenericEOF(gzFile stream) { return stream ? gzeof(stream) : 0; }
