// The native tests' harness: checks that count and report failures with what was got and
// wanted, known faults that are reported without failing until their fix lands, and the
// closing line "N passed, N failed".
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace harness {

struct Tally {
    int passed = 0;
    int failed = 0;
    int known_faults = 0;
};

inline Tally& tally() {
    static Tally t;
    return t;
}

// Printable form of a text: control and non-ASCII bytes as \xNN, long texts cut.
inline std::string show(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < 160; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (text.size() > 160) out += "...(" + std::to_string(text.size()) + " bytes)";
    return out;
}

inline std::string show(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g (%016llx)", value,
                  static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
    return text;
}

inline std::string show(std::int64_t value) { return std::to_string(value); }

// Unsigned 64-bit values are bit patterns here (of doubles, mostly).
inline std::string show(std::uint64_t bits) {
    char text[64];
    std::snprintf(text, sizeof text, "%016llx (%.17g)", static_cast<unsigned long long>(bits),
                  std::bit_cast<double>(bits));
    return text;
}

// One check of a case; `label` names the case (usually its input).
inline bool check(bool ok, std::string_view what, std::string_view label) {
    if (ok) {
        ++tally().passed;
    } else {
        ++tally().failed;
        std::printf("FAIL %.*s: %s\n", static_cast<int>(what.size()), what.data(), show(label).c_str());
    }
    return ok;
}

template <class T>
bool check_equal(const T& got, const T& want, std::string_view what, std::string_view label) {
    if (got == want) return check(true, what, label);
    check(false, what, label);
    std::printf("     got:  %s\n     want: %s\n", show(got).c_str(), show(want).c_str());
    return false;
}

// A case of a known fault whose fix is pending: reported either way, never counted as a
// failure. Once it passes, the line asks for the case to move into its ordinary table.
inline void known_fault(bool ok, std::string_view what, std::string_view label) {
    if (ok) {
        std::printf("NOW PASSES, move it to its ordinary table: %.*s: %s\n", static_cast<int>(what.size()),
                    what.data(), show(label).c_str());
    } else {
        ++tally().known_faults;
        std::printf("KNOWN FAULT (pending fix) %.*s: %s\n", static_cast<int>(what.size()), what.data(),
                    show(label).c_str());
    }
}

// Prints the closing line and gives main's exit status.
inline int finish() {
    const Tally& t = tally();
    if (t.known_faults != 0) std::printf("%d known faults pending a fix (not counted)\n", t.known_faults);
    std::printf("%d passed, %d failed\n", t.passed, t.failed);
    return t.failed == 0 ? 0 : 1;
}

}  // namespace harness
