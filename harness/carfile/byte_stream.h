#pragma once

// Little-endian byte streams for the project's own binary files (car files,
// crash-lab snapshots): written and read byte by byte, so a file means the
// same on every build. A read past the end returns false and moves nothing.

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace carfile {

class ByteWriter {
  public:
    void bytes(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        out.insert(out.end(), b, b + n);
    }
    void u8(std::uint8_t v) { out.push_back(v); }
    void u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v));
        u8(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            u8(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void f32(float f) {
        std::uint32_t v;
        std::memcpy(&v, &f, 4);
        u32(v);
    }
    std::vector<std::uint8_t> out;
};

class ByteReader {
  public:
    explicit ByteReader(const std::vector<std::uint8_t>& in) : in_(in) {}
    bool has(std::uint64_t n) const { return n <= in_.size() - at_; }
    bool u8(std::uint8_t& v) {
        if (!has(1)) return false;
        v = in_[at_++];
        return true;
    }
    bool u16(std::uint16_t& v) {
        if (!has(2)) return false;
        v = static_cast<std::uint16_t>(in_[at_] | in_[at_ + 1] << 8);
        at_ += 2;
        return true;
    }
    bool u32(std::uint32_t& v) {
        if (!has(4)) return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(in_[at_ + i]) << (8 * i);
        at_ += 4;
        return true;
    }
    bool f32(float& f) {
        std::uint32_t v;
        if (!u32(v)) return false;
        std::memcpy(&f, &v, 4);
        return true;
    }
    // `n` values, checked against what is left before anything is sized.
    bool floats(std::vector<float>& v, std::uint64_t n) {
        if (!has(4 * n)) return false;
        v.resize(n);
        for (float& f : v)
            f32(f);
        return true;
    }
    bool u16s(std::vector<std::uint16_t>& v, std::uint64_t n) {
        if (!has(2 * n)) return false;
        v.resize(n);
        for (std::uint16_t& x : v)
            u16(x);
        return true;
    }
    bool raw(void* p, std::size_t n) {
        if (!has(n)) return false;
        std::memcpy(p, in_.data() + at_, n);
        at_ += n;
        return true;
    }
    bool atEnd() const { return at_ == in_.size(); }

  private:
    const std::vector<std::uint8_t>& in_;
    std::size_t at_ = 0;
};

} // namespace carfile
