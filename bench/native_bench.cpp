// Native read and write throughput of a generated action file through the record classes,
// against the floor measured in the same run: one gzread of the whole uncompressed content
// into a buffer, and one gzwrite of it.
//
//   qn4t_native_bench FILE.gz [--benchmark_* flags]
//
// FILE.gz comes from bench/generate_actions.py. Every benchmark reports records/s
// (items_per_second) and uncompressed MB/s (bytes_per_second); the ratios to the floors are
// worked out by bench/report.py from the JSON output.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "core/action_file.h"
#include "core/records.h"

namespace {

constexpr std::uint16_t kDamage = 1, kStatMod = 2, kHealing = 3;  // detail header types

std::string input_path;
std::string output_path;  // written by the write benchmarks, removed at exit

// One detail as the file holds it: its header, the body its type names, the stat entries.
struct Detail {
    qn4tGeneric_Action_Detail_Header header;
    qn4tGeneric_Damage_Details damage;
    qn4tGeneric_Healing_Details healing;
    qn4tGeneric_StatMod_Details statmod;
    std::vector<qn4tGeneric_StatMod_Stat_Details> stats;
};

struct Action {
    std::unique_ptr<qn4tGeneric_Action_Header> header{new qn4tGeneric_Action_Header};
    std::vector<Detail> details;
};

// The records of one action, reused from action to action as a script reuses its objects.
struct Reader {
    qn4tGeneric_Action_Header header;
    Detail detail;
    qn4tGeneric_StatMod_Stat_Details stat;

    // Reads one action with all its details into the reused records: the number of records
    // read, or 0 at the end of the file (or at a record that is cut short).
    std::size_t next(gzFile in) {
        if (header.read(in) != 0) return 0;
        std::size_t records = 1;
        for (unsigned d = 0; d < header.numDetails; ++d) {
            if (detail.header.read(in) != 0 || !read_body(in, records)) return 0;
            records += 2;
        }
        return records;
    }

private:
    bool read_body(gzFile in, std::size_t &records) {
        switch (detail.header.type) {
        case kDamage: return detail.damage.read(in) == 0;
        case kHealing: return detail.healing.read(in) == 0;
        case kStatMod:
            if (detail.statmod.read(in) != 0) return false;
            for (std::uint32_t s = 0; s < detail.statmod.numStatMods; ++s, ++records)
                if (stat.read(in) != 0) return false;
            return true;
        default: return gzseek(in, detail.header.length, SEEK_CUR) >= 0;
        }
    }
};

// The whole file held in memory: its uncompressed bytes and its records.
struct Content {
    std::vector<unsigned char> bytes;
    std::vector<Action> actions;
    std::size_t records = 0;
};

gzFile open_or_die(const std::string &path, const char *mode) {
    gzFile file = gzopen(path.c_str(), mode);
    if (!file) {
        std::fprintf(stderr, "cannot open %s\n", path.c_str());
        std::exit(1);
    }
    return file;
}

const Content &content() {
    static const Content loaded = [] {
        Content c;
        gzFile in = open_or_die(input_path, "rb");
        unsigned char chunk[1 << 16];
        int got = 0;
        while ((got = gzread(in, chunk, sizeof chunk)) > 0) c.bytes.insert(c.bytes.end(), chunk, chunk + got);
        gzclose(in);

        in = open_or_die(input_path, "rb");
        for (;;) {
            Action a;
            if (a.header->read(in) != 0) break;
            ++c.records;
            for (unsigned d = 0; d < a.header->numDetails; ++d) {
                Detail detail;
                detail.header.read(in);
                if (detail.header.type == kDamage) detail.damage.read(in);
                if (detail.header.type == kHealing) detail.healing.read(in);
                if (detail.header.type == kStatMod) {
                    detail.statmod.read(in);
                    detail.stats.resize(detail.statmod.numStatMods);
                    for (auto &s : detail.stats) s.read(in);
                }
                c.records += 2 + detail.stats.size();
                a.details.push_back(std::move(detail));
            }
            c.actions.push_back(std::move(a));
        }
        gzclose(in);
        return c;
    }();
    return loaded;
}

// Writes every record of the content, one record write at a time.
void write_all(const Content &c, gzFile out) {
    for (const Action &a : c.actions) {
        a.header->write(out);
        for (const Detail &d : a.details) {
            d.header.write(out);
            if (d.header.type == kDamage) d.damage.write(out);
            if (d.header.type == kHealing) d.healing.write(out);
            if (d.header.type == kStatMod) {
                d.statmod.write(out);
                for (const auto &s : d.stats) s.write(out);
            }
        }
    }
}

void report(benchmark::State &state) {
    const Content &c = content();
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * c.records));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * c.bytes.size()));
}

// Floor: the whole uncompressed content in one gzread.
void ReadFloor(benchmark::State &state) {
    const Content &c = content();
    std::vector<unsigned char> buffer(c.bytes.size() + 1);
    for (auto _ : state) {
        gzFile in = open_or_die(input_path, "rb");
        const int got = gzread(in, buffer.data(), static_cast<unsigned>(buffer.size()));
        gzclose(in);
        if (got != static_cast<int>(c.bytes.size())) state.SkipWithError("short read");
        benchmark::DoNotOptimize(buffer.data());
    }
    report(state);
}

// Every record of the file, one record read at a time into reused records.
void ReadRecords(benchmark::State &state) {
    const Content &c = content();
    Reader reader;
    for (auto _ : state) {
        gzFile in = open_or_die(input_path, "rb");
        std::size_t records = 0;
        while (std::size_t n = reader.next(in)) records += n;
        gzclose(in);
        if (records != c.records) state.SkipWithError("records lost");
        benchmark::DoNotOptimize(reader.header.actionID);
    }
    report(state);
}

// Floor: the whole uncompressed content in one gzwrite.
// A file read through the C stdio library, for the block reader.
class FileSource : public qn4t::ByteSource {
public:
    explicit FileSource(const char *path) : file_(std::fopen(path, "rb")) {}
    ~FileSource() override {
        if (file_) std::fclose(file_);
    }
    long read(std::uint8_t *out, std::size_t capacity) override {
        if (!file_) return -1;
        const std::size_t got = std::fread(out, 1, capacity, file_);
        return std::ferror(file_) ? -1 : static_cast<long>(got);
    }

private:
    std::FILE *file_;
};

// Every action decoded into its C++ structure through the block reader.
void ReadActions(benchmark::State &state) {
    const Content &c = content();
    for (auto _ : state) {
        FileSource source(input_path.c_str());
        qn4t::ActionReader reader(source);
        qn4t::WholeAction action;
        while (reader.next(action) == qn4t::ActionReader::Step::action) {
            benchmark::DoNotOptimize(action.head.actionID);
        }
        if (reader.offset() != c.bytes.size()) state.SkipWithError("the actions did not add up");
    }
    report(state);
}

void WriteFloor(benchmark::State &state) {
    const Content &c = content();
    for (auto _ : state) {
        gzFile out = open_or_die(output_path, "wb");
        gzwrite(out, c.bytes.data(), static_cast<unsigned>(c.bytes.size()));
        gzclose(out);
    }
    report(state);
}

// Every record of the file, one record write at a time.
void WriteRecords(benchmark::State &state) {
    const Content &c = content();
    for (auto _ : state) {
        gzFile out = open_or_die(output_path, "wb");
        write_all(c, out);
        gzclose(out);
    }
    report(state);
}

BENCHMARK(ReadFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadRecords)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadActions)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteFloor)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteRecords)->Unit(benchmark::kMillisecond);

// The records written back must give the file's own bytes, or the write figures mean nothing.
bool writes_same_bytes() {
    output_path = input_path + ".written";
    const Content &c = content();
    gzFile out = open_or_die(output_path, "wb");
    write_all(c, out);
    gzclose(out);
    gzFile in = open_or_die(output_path, "rb");
    std::vector<unsigned char> back(c.bytes.size() + 1);
    const int got = gzread(in, back.data(), static_cast<unsigned>(back.size()));
    gzclose(in);
    return got == static_cast<int>(c.bytes.size()) &&
           std::equal(c.bytes.begin(), c.bytes.end(), back.begin());
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE.gz [--benchmark_* flags]\n", argv[0]);
        return 2;
    }
    input_path = argv[1];
    if (!writes_same_bytes()) {
        std::fprintf(stderr, "%s: records written back differ from the file\n", argv[0]);
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::remove(output_path.c_str());
    return 0;
}
