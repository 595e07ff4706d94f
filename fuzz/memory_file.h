// An anonymous in-memory file (memfd) that the gzip layer can read and write through a
// descriptor, so the fuzz targets run the record streams without touching the disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace qn4t_fuzz {

using Bytes = std::vector<std::uint8_t>;

class MemoryFile {
public:
    explicit MemoryFile(const char *name) : fd_(memfd_create(name, 0)) {
        if (fd_ < 0) std::abort();
    }
    ~MemoryFile() { close(fd_); }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;

    // Empties the file and stores `size` bytes in it.
    void assign(const std::uint8_t *data, std::size_t size) {
        clear();
        for (std::size_t done = 0; done < size;) {
            const ssize_t n = ::write(fd_, data + done, size - done);
            if (n <= 0) std::abort();
            done += static_cast<std::size_t>(n);
        }
        rewind();
    }

    void clear() {
        if (ftruncate(fd_, 0) != 0) std::abort();
        rewind();
    }

    // A gzip stream over the whole file from its start: "rb" or "wb". The stream owns a
    // duplicate descriptor, so closing it leaves this file open.
    gzFile open(const char *mode) {
        rewind();
        gzFile stream = gzdopen(dup(fd_), mode);
        if (!stream) std::abort();
        return stream;
    }

    // The file's content decompressed from its start, at most `limit` bytes. `complete`
    // tells whether the end of the data was met without an error.
    Bytes inflated(std::size_t limit, bool *complete = nullptr) {
        gzFile in = open("rb");
        Bytes content;
        std::uint8_t chunk[4096];
        int n = 0;
        while (content.size() < limit && (n = gzread(in, chunk, sizeof chunk)) > 0)
            content.insert(content.end(), chunk, chunk + n);
        if (complete) *complete = n == 0 && content.size() < limit;
        gzclose(in);
        return content;
    }

private:
    void rewind() {
        if (lseek(fd_, 0, SEEK_SET) != 0) std::abort();
    }
    int fd_;
};

// Stops the run with a message: libFuzzer saves the input that got here.
[[noreturn]] inline void fail(const char *what) {
    (void)!::write(2, what, __builtin_strlen(what));
    (void)!::write(2, "\n", 1);
    std::abort();
}

}  // namespace qn4t_fuzz
