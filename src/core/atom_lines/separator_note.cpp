// Unicode spaces in a failed line: every character str.isspace() accepts beyond the five
// ASCII separators, with its name (the formal alias for the controls, which have none).
#include "core/atom_lines/separator_note.hpp"

#include <array>
#include <cstdint>
#include <cstdio>

#include "core/common/utf8.hpp"

namespace atomkit {
namespace {

struct NamedSpace {
    char32_t code_point;
    const char* name;
};

constexpr std::array<NamedSpace, 24> unicode_spaces = {{
    {0x000B, "LINE TABULATION"},
    {0x001C, "INFORMATION SEPARATOR FOUR"},
    {0x001D, "INFORMATION SEPARATOR THREE"},
    {0x001E, "INFORMATION SEPARATOR TWO"},
    {0x001F, "INFORMATION SEPARATOR ONE"},
    {0x0085, "NEXT LINE"},
    {0x00A0, "NO-BREAK SPACE"},
    {0x1680, "OGHAM SPACE MARK"},
    {0x2000, "EN QUAD"},
    {0x2001, "EM QUAD"},
    {0x2002, "EN SPACE"},
    {0x2003, "EM SPACE"},
    {0x2004, "THREE-PER-EM SPACE"},
    {0x2005, "FOUR-PER-EM SPACE"},
    {0x2006, "SIX-PER-EM SPACE"},
    {0x2007, "FIGURE SPACE"},
    {0x2008, "PUNCTUATION SPACE"},
    {0x2009, "THIN SPACE"},
    {0x200A, "HAIR SPACE"},
    {0x2028, "LINE SEPARATOR"},
    {0x2029, "PARAGRAPH SEPARATOR"},
    {0x202F, "NARROW NO-BREAK SPACE"},
    {0x205F, "MEDIUM MATHEMATICAL SPACE"},
    {0x3000, "IDEOGRAPHIC SPACE"},
}};

const char* space_name(char32_t code_point) noexcept {
    for (const NamedSpace& space : unicode_spaces) {
        if (space.code_point == code_point) return space.name;
    }
    return nullptr;
}

}  // namespace

std::string unicode_space_note(std::string_view line) {
    std::size_t column = 1;
    for (std::size_t i = 0; i < line.size(); ++column) {
        const Utf8Sequence sequence = decode_utf8(line, i);
        if (sequence.length == 0) {
            ++i;
            continue;
        }
        i += sequence.length;
        const char* name = space_name(sequence.code_point);
        if (name == nullptr) continue;
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(sequence.code_point));
        std::string note = "the line holds ";
        note += code;
        note += ' ';
        note += name;
        note += " at column ";
        note += std::to_string(column);
        note += ", which is part of a token: only ASCII space, tab, line feed, form feed and carriage"
                " return separate tokens";
        return note;
    }
    return {};
}

}  // namespace atomkit
