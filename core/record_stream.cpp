// The four record stream functions over zlib's gzip file interface.
#include "record_stream.h"

#include <cstdio>

gzFile qn4tGenericOpen(const char *path, int writeFlag) {
    return gzopen(path, writeFlag != 0 ? "wb" : "rb");
}

void qn4tGenericClose(gzFile stream) {
    if (stream) gzclose(stream);
}

void qn4tGenericSeek(gzFile stream, int offset) {
    if (stream) gzseek(stream, offset, SEEK_CUR);
}

int qn4tGenericEOF(gzFile stream) { return stream ? gzeof(stream) : 0; }
