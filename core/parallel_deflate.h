// A gzip file compressed on several threads: the input is cut into blocks that worker
// threads deflate at the record stream's level. With libdeflate (built in where found) each
// block becomes a gzip member of its own, members one after another, which every gzip reader
// reads as one file. With zlib each block is primed with the last 32 KiB of the block before
// it and ended on a byte boundary, so that their outputs, written in order, make one deflate
// stream in one member, with one CRC combined from the blocks' own. Input that fits one
// block comes out byte for byte as the single-threaded writer makes it, either way.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qn4t {

class ByteSink;

// Threads a writer uses when the caller does not say: one per core, from 2 to 8 (beyond
// that the writer waits on its caller's encoding more than on deflate).
unsigned default_write_threads();

// The most threads a writer is asked for: far beyond the cores of any machine it runs on,
// while the blocks in flight (two per thread) stay a few hundred megabytes.
constexpr unsigned kMostWriteThreads = 256;

class ParallelDeflate {
public:
    // Uncompressed bytes per block: large enough that cutting costs well under 1% of size.
    static constexpr std::size_t kBlock = 1024 * 1024;

    // `threads` workers (fewer when the system gives fewer; none: the caller's thread
    // compresses). `block` is for tests that want many blocks from little data.
    ParallelDeflate(ByteSink &sink, unsigned threads, std::size_t block = kBlock);
    ~ParallelDeflate();
    ParallelDeflate(const ParallelDeflate &) = delete;
    ParallelDeflate &operator=(const ParallelDeflate &) = delete;

    // Takes `size` bytes; false on an error (error() says what).
    bool write(const std::uint8_t *data, std::size_t size);
    // Compresses what is left and ends the file; false on an error.
    bool finish();
    const std::string &error() const { return error_; }

    // The library that deflates blocks: "libdeflate" or "zlib".
    static const char *deflater();
    // Whether content of more than one block is written as one gzip member per block.
    static bool whole_members();

private:
    using Bytes = std::vector<std::uint8_t>;
    struct Job {
        std::shared_ptr<const Bytes> input;
        std::shared_ptr<const Bytes> previous;  // its last 32 KiB prime the deflate
        bool member = false;  // compressed into a whole gzip member of its own
        bool last = false;
        Bytes output;
        std::uint32_t crc = 0;
        bool done = false;
        std::string error;
    };

    void submit(bool last);
    bool write_done(std::size_t keep);  // writes finished blocks in order until `keep` remain
    bool put(const std::uint8_t *data, std::size_t size);
    void work();
    static void compress(Job &job);

    ByteSink &sink_;
    const std::size_t block_;
    std::unique_ptr<Bytes> current_;  // the block being filled
    std::shared_ptr<const Bytes> previous_;
    std::deque<std::shared_ptr<Job>> in_flight_;  // in the order of the output
    std::size_t most_in_flight_;
    bool header_written_ = false;
    std::uint32_t crc_ = 0;
    std::uint64_t length_ = 0;
    std::string error_;

    std::mutex mutex_;
    std::condition_variable work_ready_, work_done_;
    std::deque<std::shared_ptr<Job>> waiting_;  // for a worker
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace qn4t
