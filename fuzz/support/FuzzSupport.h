// Helpers shared by the fuzz targets: standard output captured or thrown
// away, a reader that hands out the fuzz input piece by piece, and the check
// that stops a run with the input's story when an invariant breaks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace fuzz_support {

// Sends standard output to /dev/null for the rest of the process: the tool
// prints a line for every key, which would drown the fuzzer's own report.
void discardStdout();

// What `body` printed on standard output; output goes back where it went.
std::string captureStdout(const std::function<void()>& body);

// When `holds` is false: prints "invariant broken: WHAT" and `details` on
// standard error and aborts, so libFuzzer saves the input.
void check(bool holds, const char* what, const std::string& details = {});

// The input, taken from the front; past its end every read gives zero bytes
// and exhausted() turns true.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool exhausted() const { return exhausted_; }
    size_t remaining() const { return size_ - used_; }
    uint8_t byte();
    // Four bytes, the first the most significant.
    uint32_t word();
    // Up to `count` bytes into `out`; returns how many there were.
    size_t bytes(void* out, size_t count);

private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
    bool exhausted_ = false;
};

// Printable form of text for a report: non-printing bytes as \xNN.
std::string escaped(std::string_view text);

}  // namespace fuzz_support
