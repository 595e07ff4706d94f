// One gzip member inflated a piece at a time, header, CRC and length checked: through ISA-L
// where the build found it (QN4T_WITH_ISAL), which inflates about twice as fast, otherwise
// through zlib. Both give the same bytes and the same verdicts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qn4t {

class Inflater {
public:
    Inflater();
    ~Inflater();
    Inflater(const Inflater &) = delete;
    Inflater &operator=(const Inflater &) = delete;

    // Begins a gzip member (the first or another one). False: no memory.
    bool start();

    enum class Status { going, member_end, corrupt };
    // Inflates from the `in_size` bytes at `in` into the `out_size` bytes at `out`; sets
    // `used` (input taken: at member_end, exactly the member's bytes) and `made` (output).
    // At `corrupt`, problem() says what is wrong, and the fault shows fault_back() bytes
    // before the end of what was used.
    Status inflate(const std::uint8_t *in, std::size_t in_size, std::size_t &used,
                   std::uint8_t *out, std::size_t out_size, std::size_t &made);
    const std::string &problem() const { return problem_; }
    std::size_t fault_back() const { return fault_back_; }

    // The inflater built in, with its version: "isa-l 2.30.0", "zlib 1.2.13".
    static std::string name();

private:
    struct State;
    std::unique_ptr<State> state_;
    std::string problem_;
    std::size_t fault_back_ = 0;
};

}  // namespace qn4t
