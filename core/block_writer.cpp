// The gzip block writer: bytes deflated into a gzip file, on one thread with zlib (one
// member) or on several (parallel_deflate.h), handed to a sink.
#include "action_file.h"

#include <algorithm>
#include <cstring>

namespace qn4t {
namespace {

constexpr std::size_t kOutputBlock = 256 * 1024;  // compressed bytes made at once

}  // namespace

BlockWriter::BlockWriter(ByteSink &sink, unsigned threads) : sink_(sink) {
    if (threads > 1) parallel_.reset(new ParallelDeflate(sink, threads));
}

BlockWriter::~BlockWriter() {
    if (ready_) deflateEnd(&stream_);
}

bool BlockWriter::deflate_all(int flush) {
    if (!ready_) {
        // gzip format, zlib's default level, window and memory: what gzopen(path, "wb") writes.
        if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                         Z_DEFAULT_STRATEGY) != Z_OK) {
            error_ = "no memory for compression";
            return false;
        }
        ready_ = true;
        output_.resize(kOutputBlock);
    }
    for (;;) {
        stream_.next_out = output_.data();
        stream_.avail_out = static_cast<uInt>(output_.size());
        const int status = deflate(&stream_, flush);
        if (status == Z_STREAM_ERROR) {
            error_ = "compression failed";
            return false;
        }
        const std::size_t made = output_.size() - stream_.avail_out;
        if (made && !sink_.write(output_.data(), made)) {
            error_ = "the output cannot be written";
            return false;
        }
        if (flush == Z_FINISH ? status == Z_STREAM_END
                              : stream_.avail_in == 0 && stream_.avail_out != 0)
            return true;
    }
}

bool BlockWriter::write(const std::uint8_t *data, std::size_t size) {
    if (parallel_) return parallel_->write(data, size);
    while (size > 0) {
        const std::size_t n = std::min<std::size_t>(size, 1u << 30);
        stream_.next_in = const_cast<Bytef *>(data);
        stream_.avail_in = static_cast<uInt>(n);
        if (!deflate_all(Z_NO_FLUSH)) return false;
        data += n;
        size -= n;
    }
    return true;
}

bool BlockWriter::finish() {
    if (parallel_) return parallel_->finish();
    stream_.next_in = nullptr;
    stream_.avail_in = 0;
    return deflate_all(Z_FINISH);
}

}  // namespace qn4t
