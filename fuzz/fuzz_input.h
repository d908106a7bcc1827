// Reads the fuzzer's input as a stream of decisions and values. Past the end
// every byte reads as 0, so a decoder never has to check for exhaustion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return size_ == 0; }

    std::uint8_t Byte() {
        if (size_ == 0) return 0;
        --size_;
        return *data_++;
    }

    // A choice among n (0 when n is 0).
    std::uint32_t Below(std::uint32_t n) { return n == 0 ? 0 : Byte() % n; }

    // Up to 8 bytes as a little-endian value.
    std::uint64_t Bits() {
        std::uint64_t bits = 0;
        Take(&bits, sizeof bits);
        return bits;
    }

    // Copies up to n bytes into out; returns how many were left to copy.
    std::size_t Take(void* out, std::size_t n) {
        const std::size_t k = n < size_ ? n : size_;
        std::memcpy(out, data_, k);
        data_ += k;
        size_ -= k;
        return k;
    }

    // A run of up to `limit` bytes, its length chosen by the input, seen in place.
    std::size_t View(const std::uint8_t** out, std::size_t limit) {
        std::size_t n = Byte() % (limit + 1);
        if (n > size_) n = size_;
        *out = data_;
        data_ += n;
        size_ -= n;
        return n;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};
