// The four record stream functions over zlib's gzip file interface, and the faults zlib
// reports on a stream.
#include "record_stream.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

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

namespace qn4t {
namespace {

void set_message(StreamFault &fault, const char *message) {
    std::snprintf(fault.message, sizeof fault.message, "%s", message ? message : "");
}

}  // namespace

StreamFault stream_fault(gzFile stream, int system_error) {
    StreamFault fault;
    if (!stream) return fault;
    int code = Z_OK;
    const char *message = gzerror(stream, &code);
    if (code == Z_OK) return fault;
    fault.zlib_error = code;
    fault.system_error = code == Z_ERRNO ? system_error : 0;
    set_message(fault, message);
    return fault;
}

StreamFault read_failure(gzFile stream, int system_error) {
    StreamFault fault = stream_fault(stream, system_error);
    // zlib delivers fewer bytes than asked only at the end of the data (which it marks)
    // or on an error: a sound stream short of its end means the record's own memory ran out.
    if (!fault && stream && !gzeof(stream)) {
        fault.zlib_error = Z_MEM_ERROR;
        set_message(fault, "out of memory for the record");
    }
    return fault;
}

StreamFault close_written(gzFile stream) {
    if (!stream) return {};
    StreamFault fault = stream_fault(stream, 0);  // an earlier write failed; its errno is gone
#if ZLIB_VERNUM >= 0x12c0
    // Finish the data while the handle still holds zlib's message and errno is fresh: most
    // write errors (a full disk) show only here. From zlib 1.2.12 on, the close after a
    // Z_FINISH flush writes nothing more (no empty second member).
    if (!fault) {
        errno = 0;
        if (gzflush(stream, Z_FINISH) != Z_OK) fault = stream_fault(stream, errno);
    }
#endif
    errno = 0;
    const int closed = gzclose(stream);
    if (!fault && closed != Z_OK) {
        fault.zlib_error = closed;
        fault.system_error = closed == Z_ERRNO ? errno : 0;
        set_message(fault, closed == Z_ERRNO && errno ? std::strerror(errno) : zError(closed));
    }
    return fault;
}

}  // namespace qn4t
