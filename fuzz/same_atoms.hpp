// Whether two parses gave the same columns, value for value (floats bit for bit), for the
// libFuzzer targets that compare two ways of parsing the same rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/atom_lines/atom_lines.hpp"

namespace fuzz {

inline bool same_atoms(const atomkit::ParsedAtoms& a, const atomkit::ParsedAtoms& b) {
    if (a.natoms != b.natoms || a.floats.size() != b.floats.size() || a.ints.size() != b.ints.size() ||
        a.bools.size() != b.bools.size() || a.strs.size() != b.strs.size()) {
        return false;
    }
    if ((a.floats.size() != 0 && std::memcmp(a.floats.data(), b.floats.data(), a.floats.size() * sizeof(double)) != 0) ||
        (a.ints.size() != 0 && std::memcmp(a.ints.data(), b.ints.data(), a.ints.size() * sizeof(std::int64_t)) != 0) ||
        (a.bools.size() != 0 && std::memcmp(a.bools.data(), b.bools.data(), a.bools.size()) != 0)) {
        return false;
    }
    for (std::size_t c = 0; c < a.strs.size(); ++c) {
        if (a.strs[c].size() != b.strs[c].size()) return false;
        for (std::size_t r = 0; r < a.strs[c].size(); ++r) {
            if (a.strs[c][r] != b.strs[c][r]) return false;
        }
    }
    return true;
}

}  // namespace fuzz
