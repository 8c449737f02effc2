// Helpers shared by the libFuzzer targets: reading the fuzzer's bytes, failing loudly,
// the FPU rounding modes, UTF-8 checks and the "%16.8f" / "%8d" reference fields.
#pragma once

#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

// Keeps a helper's byte loops over long texts (expanded tokens, wide blocks) out of clang's
// coverage tracing, which would otherwise cost more than the code under test.
#if defined(__clang__)
#define FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_NO_COVERAGE
#endif

namespace fuzz {

// Prints what went wrong and aborts, so that libFuzzer saves the input as a crash.
[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", what);
    if (!detail.empty()) {
        std::fprintf(stderr, "  detail (%zu bytes): ", detail.size());
        // Long texts (expanded tokens) show their head and tail only.
        auto show = [](std::string_view part) {
            for (const char ch : part) {
                const auto c = static_cast<unsigned char>(ch);
                if (c >= 0x20 && c < 0x7F) {
                    std::fputc(c, stderr);
                } else {
                    std::fprintf(stderr, "\\x%02x", c);
                }
            }
        };
        if (detail.size() <= 600) {
            show(detail);
        } else {
            show(detail.substr(0, 300));
            std::fprintf(stderr, "...[%zu bytes]...", detail.size() - 600);
            show(detail.substr(detail.size() - 300));
        }
        std::fputc('\n', stderr);
    }
    std::abort();
}

inline void check(bool ok, const char* what, std::string_view detail = {}) {
    if (!ok) fail(what, detail);
}

// The fuzzer's bytes, consumed front to back; reads past the end give zeros.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint64_t u64() {
        std::uint64_t value = 0;
        for (int k = 0; k < 8; ++k) value |= std::uint64_t{byte()} << (8 * k);
        return value;
    }
    std::string_view rest() {
        const std::string_view r(reinterpret_cast<const char*>(data_) + pos_, size_ - pos_);
        pos_ = size_;
        return r;
    }
    std::size_t left() const { return size_ - pos_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A token with long runs reachable from a short input: byte 0xFF followed by a byte c and
// a byte n writes c repeated 16 * (n + 1)^2 times; other bytes stand for themselves. Long
// significands and exponents only misbehave at tens of thousands of digits, far beyond
// what libFuzzer mutates directly. The whole text stays within `limit` bytes, which keeps
// the cost of such inputs bounded.
FUZZ_NO_COVERAGE inline std::string expand_runs(std::string_view packed, std::size_t limit) {
    std::string out;
    for (std::size_t i = 0; i < packed.size(); ++i) {
        if (static_cast<unsigned char>(packed[i]) != 0xFF || packed.size() - i < 3) {
            out += packed[i];
            continue;
        }
        const std::size_t n = static_cast<unsigned char>(packed[i + 2]) + std::size_t{1};
        const std::size_t length = 16 * n * n;
        if (out.size() + length > limit) break;
        out.append(length, packed[i + 1]);
        i += 2;
    }
    return out;
}

// The token of the token targets: the bytes after the control byte, packed as above when
// bits 2 to 5 of the control byte are all set (one input in sixteen, since long texts are
// slow).
inline std::string token_text(std::uint8_t control, std::string_view bytes, std::size_t limit) {
    return (control & 0x3C) == 0x3C ? expand_runs(bytes, limit) : std::string(bytes);
}

// The four rounding modes, picked by two bits of an input byte.
inline int rounding_mode(unsigned selector) {
    static constexpr int modes[] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
    return modes[selector & 3];
}

// Sets a rounding mode for one scope and puts round-to-nearest back at its end, so that
// the reference computations always run in the default mode.
class RoundingScope {
public:
    explicit RoundingScope(int mode) { std::fesetround(mode); }
    ~RoundingScope() { std::fesetround(FE_TONEAREST); }
    RoundingScope(const RoundingScope&) = delete;
    RoundingScope& operator=(const RoundingScope&) = delete;
};

inline bool is_separator(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

// Length of the valid UTF-8 sequence at s[i], or 0 when none starts there (overlong forms,
// surrogates and code points past U+10FFFF are invalid).
inline std::size_t utf8_sequence(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) return 1;
    std::size_t length = 0;
    std::uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        cp = b0 & 0x1Fu;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        cp = b0 & 0x0Fu;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        cp = b0 & 0x07u;
    } else {
        return 0;
    }
    if (s.size() - i < length) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0u) != 0x80u) return 0;
        cp = (cp << 6) | (b & 0x3Fu);
    }
    static constexpr std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return length;
}

inline bool is_valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8_sequence(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// Appends scalar value c as UTF-8.
inline void append_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Whether every byte is below 0x80.
FUZZ_NO_COVERAGE inline bool is_ascii(std::string_view s) {
    unsigned char high = 0;
    for (const char c : s) high |= static_cast<unsigned char>(c);
    return high < 0x80;
}

// Every byte that starts no valid sequence becomes U+FFFD, as a lenient decoder would.
inline std::string repair_utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8_sequence(s, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s.substr(i, n));
            i += n;
        }
    }
    return out;
}

// "%16.8f" by glibc (exact, ties to even under round-to-nearest); NaN is "NaN" without a
// sign, right-aligned. Call in the default rounding mode: printf follows the current one.
inline std::string float_field_reference(double value) {
    if (value != value) return std::string(13, ' ') + "NaN";
    char text[400];
    const int n = std::snprintf(text, sizeof text, "%16.8f", value);
    return std::string(text, static_cast<std::size_t>(n));
}

inline std::string int_field_reference(std::int64_t value) {
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%8lld", static_cast<long long>(value));
    return std::string(text, static_cast<std::size_t>(n));
}

}  // namespace fuzz
