// Whether two reads gave the same RunTable (floats bit for bit, string columns token for token)
// and the same refusals, for the native tests and libFuzzer targets that read one source in
// several ways. Returns what differs first, or an empty text.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "core/reader/run_table.hpp"
#include "same_atoms.hpp"

namespace fuzz {

inline bool same_doubles(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

inline bool same_value(const atomkit::CommentValue& x, const atomkit::CommentValue& y) {
    return x.kind == y.kind && x.square == y.square && x.boolean == y.boolean && x.integer == y.integer &&
           std::memcmp(&x.real, &y.real, sizeof(double)) == 0 && x.rows == y.rows && x.text == y.text &&
           x.ints == y.ints && same_doubles(x.reals, y.reals) && x.texts == y.texts;
}

inline bool same_column(const atomkit::frames::InfoColumn& x, const atomkit::frames::InfoColumn& y) {
    return x.key == y.key && x.kind == y.kind && x.all_loose == y.all_loose && x.square == y.square &&
           x.width == y.width && x.present == y.present && same_doubles(x.reals, y.reals) && x.ints == y.ints &&
           x.mixed == y.mixed && x.integral == y.integral && x.texts == y.texts && x.text_index == y.text_index;
}

inline bool same_refusal(const atomkit::reader::Refusal& x, const atomkit::reader::Refusal& y) {
    auto same_comment = [](const auto& a, const auto& b) {
        return a.has_value() == b.has_value() && (!a || (a->kind == b->kind && a->text == b->text));
    };
    return x.kind == y.kind && x.frame == y.frame && x.count_line == y.count_line && x.line == y.line &&
           x.fatal == y.fatal && x.text == y.text && same_comment(x.comment_error, y.comment_error) &&
           x.properties_error == y.properties_error && x.properties == y.properties && x.message == y.message &&
           x.row == y.row && x.column == y.column && x.in_line == y.in_line && x.natoms == y.natoms &&
           x.lines_held == y.lines_held && x.line_limit == y.line_limit;
}

inline std::string run_difference(const atomkit::reader::RunTable& a, const atomkit::reader::RunTable& b) {
    if (a.frames != b.frames || a.natoms != b.natoms || a.lines != b.lines || a.layout != b.layout) return "frames";
    if (!same_doubles(a.lattice, b.lattice) || a.has_lattice != b.has_lattice || a.pbc != b.pbc ||
        a.has_pbc != b.has_pbc || a.has_properties != b.has_properties) {
        return "cells";
    }
    if (a.info.size() != b.info.size()) return "info keys";
    for (std::size_t k = 0; k < a.info.size(); ++k) {
        if (!same_column(a.info[k], b.info[k])) return "info column " + a.info[k].key;
    }
    if (a.keys.of_frame != b.keys.of_frame || a.keys.sets != b.keys.sets) return "key sets";
    if (a.loose.size() != b.loose.size()) return "loose values";
    for (std::size_t k = 0; k < a.loose.size(); ++k) {
        if (a.loose[k].frame != b.loose[k].frame || a.loose[k].column != b.loose[k].column ||
            !same_value(a.loose[k].value, b.loose[k].value)) {
            return "loose value " + std::to_string(k);
        }
    }
    if (a.atoms.size() != b.atoms.size()) return "layouts";
    for (std::size_t k = 0; k < a.atoms.size(); ++k) {
        if (a.atoms[k].layout != b.atoms[k].layout || !same_atoms(a.atoms[k].atoms, b.atoms[k].atoms)) return "atoms";
    }
    if (a.refusals.size() != b.refusals.size()) return "refusal count";
    for (std::size_t k = 0; k < a.refusals.size(); ++k) {
        if (!same_refusal(a.refusals[k], b.refusals[k])) return "refusal " + std::to_string(k);
    }
    return {};
}

}  // namespace fuzz
