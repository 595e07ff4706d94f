// Blocks deflated on worker threads and written in order: gzip members of their own
// (libdeflate), or joined into one member (zlib).
#include "parallel_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <system_error>

#ifdef QN4T_WITH_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "action_file.h"

namespace qn4t {
namespace {

constexpr std::size_t kWindow = 32 * 1024;
// What zlib writes for a gzip member at the default level with no header given: no flags,
// no time, no extra flags, made on Unix.
constexpr std::uint8_t kGzipHeader[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};

void put_le32(std::uint8_t *out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

#ifdef QN4T_WITH_LIBDEFLATE
// zlib's default level, in libdeflate's scale: within 1% of zlib's size on action files.
constexpr int kLibdeflateLevel = 6;

struct FreeCompressor {
    void operator()(libdeflate_compressor *c) const { libdeflate_free_compressor(c); }
};

// The calling thread's compressor, made on first use and kept until the thread ends: its
// tables are hundreds of kilobytes, too many to make again for every block.
libdeflate_compressor *thread_compressor() {
    thread_local std::unique_ptr<libdeflate_compressor, FreeCompressor> compressor;
    if (!compressor) compressor.reset(libdeflate_alloc_compressor(kLibdeflateLevel));
    return compressor.get();
}

// One whole gzip member of `in` into `out`; false when there is no memory for it.
bool gzip_member(const std::vector<std::uint8_t> &in, std::vector<std::uint8_t> &out) {
    libdeflate_compressor *compressor = thread_compressor();
    if (!compressor) return false;
    out.resize(libdeflate_gzip_compress_bound(compressor, in.size()));
    const std::size_t made =
        libdeflate_gzip_compress(compressor, in.data(), in.size(), out.data(), out.size());
    out.resize(made);
    return made != 0;  // never 0 with an output of the bound's size
}
#endif

}  // namespace

#ifdef QN4T_WITH_LIBDEFLATE
const char *ParallelDeflate::deflater() { return "libdeflate"; }
bool ParallelDeflate::whole_members() { return true; }
#else
const char *ParallelDeflate::deflater() { return "zlib"; }
bool ParallelDeflate::whole_members() { return false; }
#endif

unsigned default_write_threads() {
    const unsigned cores = std::thread::hardware_concurrency();
    // At least two: the bytes written depend only on whether one thread or several compress,
    // so the default writes the same file on every machine.
    return std::max(2u, std::min(cores, 8u));
}

ParallelDeflate::ParallelDeflate(ByteSink &sink, unsigned threads, std::size_t block)
    : sink_(sink), block_(std::max(block, kWindow)), most_in_flight_(2 * std::max(threads, 1u)) {
    for (unsigned i = 0; i < threads; ++i) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (const std::system_error &) {
            break;  // the threads that started do the work; with none, the caller does
        }
    }
}

ParallelDeflate::~ParallelDeflate() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    for (std::thread &t : workers_) t.join();
}

void ParallelDeflate::work() {
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_ready_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
            if (stopping_) return;
            job = waiting_.front();
            waiting_.pop_front();
        }
        compress(*job);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job->done = true;
        }
        work_done_.notify_all();
    }
}

// One block at zlib's default level. As a whole gzip member (job.member, libdeflate), or as
// raw deflate primed with the end of the block before it, ended on a byte boundary (a sync
// flush) unless it is the last, which ends the stream.
void ParallelDeflate::compress(Job &job) {
    try {
        const Bytes &in = *job.input;
#ifdef QN4T_WITH_LIBDEFLATE
        if (job.member) {
            if (!gzip_member(in, job.output)) job.error = "no memory for compression";
            return;
        }
#endif
        job.crc = static_cast<std::uint32_t>(crc32(0, in.data(), static_cast<uInt>(in.size())));
        z_stream z{};
        if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            job.error = "no memory for compression";
            return;
        }
        if (job.previous) {
            const Bytes &p = *job.previous;
            const std::size_t n = std::min(p.size(), kWindow);
            deflateSetDictionary(&z, p.data() + p.size() - n, static_cast<uInt>(n));
        }
        job.output.resize(deflateBound(&z, static_cast<uLong>(in.size())) + 16);
        z.next_in = const_cast<Bytef *>(in.data());
        z.avail_in = static_cast<uInt>(in.size());
        z.next_out = job.output.data();
        z.avail_out = static_cast<uInt>(job.output.size());
        const int status = deflate(&z, job.last ? Z_FINISH : Z_SYNC_FLUSH);
        const bool whole = job.last ? status == Z_STREAM_END : status == Z_OK && z.avail_in == 0;
        job.output.resize(job.output.size() - z.avail_out);
        deflateEnd(&z);
        if (!whole) job.error = "compression failed";
    } catch (const std::bad_alloc &) {
        job.error = "no memory for compression";
    }
}

void ParallelDeflate::submit(bool last) {
    auto job = std::make_shared<Job>();
    // Content that ends within its first block is one zlib member, the bytes of the
    // single-threaded writer; more content is one member per block where libdeflate is built
    // in (it takes no dictionary to join blocks into one stream).
    job->member = whole_members() && !(last && !previous_);
    job->input = std::shared_ptr<const Bytes>(current_.release());
    if (!job->input) job->input = std::make_shared<const Bytes>();
    job->previous = previous_;
    job->last = last;
    previous_ = job->input;
    in_flight_.push_back(job);
    if (workers_.empty()) {
        compress(*job);
        job->done = true;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.push_back(job);
    }
    work_ready_.notify_one();
}

bool ParallelDeflate::put(const std::uint8_t *data, std::size_t size) {
    if (sink_.write(data, size)) return true;
    error_ = "the output cannot be written";
    return false;
}

bool ParallelDeflate::write_done(std::size_t keep) {
    while (in_flight_.size() > keep) {
        const std::shared_ptr<Job> job = in_flight_.front();
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_done_.wait(lock, [&] { return job->done; });
        }
        in_flight_.pop_front();
        if (!job->error.empty()) {
            error_ = job->error;
            return false;
        }
        if (job->member) {
            if (!put(job->output.data(), job->output.size())) return false;
            continue;
        }
        if (!header_written_ && !put(kGzipHeader, sizeof kGzipHeader)) return false;
        header_written_ = true;
        if (!job->output.empty() && !put(job->output.data(), job->output.size())) return false;
        const std::size_t size = job->input->size();
        crc_ = static_cast<std::uint32_t>(crc32_combine(crc_, job->crc, static_cast<z_off_t>(size)));
        length_ += size;
    }
    return true;
}

bool ParallelDeflate::write(const std::uint8_t *data, std::size_t size) {
    if (!error_.empty()) return false;
    while (size > 0) {
        // A full block is compressed once more bytes come: the last block ends the stream.
        if (current_ && current_->size() == block_) {
            submit(false);
            if (!write_done(most_in_flight_ - 1)) return false;
        }
        if (!current_) {
            current_.reset(new Bytes);
            current_->reserve(block_);
        }
        const std::size_t n = std::min(size, block_ - current_->size());
        current_->insert(current_->end(), data, data + n);
        data += n;
        size -= n;
    }
    return true;
}

bool ParallelDeflate::finish() {
    if (!error_.empty()) return false;
    submit(true);
    if (!write_done(0)) return false;
    if (!header_written_) return true;  // whole members only: each has its own trailer
    std::uint8_t trailer[8];
    put_le32(trailer, crc_);
    put_le32(trailer + 4, static_cast<std::uint32_t>(length_));  // the length modulo 2^32
    return put(trailer, sizeof trailer);
}

}  // namespace qn4t
