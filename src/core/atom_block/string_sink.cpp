// StringSink: the atom block written into a std::string, its new bytes left unfilled and
// advised for huge pages.
#include "core/atom_block/atom_block.hpp"

#include <new>
#include <stdexcept>
#include <utility>

#include "core/common/huge_pages.hpp"

namespace atomkit {

char* StringSink::grow(std::size_t capacity, std::size_t used) {
    if (capacity > text_.max_size()) throw std::bad_alloc();
    try {
        // The new bytes are written by the block builder before anything reads them, so
        // they need no filling here.
        text_.resize_and_overwrite(capacity, [used](char* base, std::size_t size) noexcept {
            advise_huge_pages(base + used, size - used);
            return size;
        });
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
    return text_.data();
}

std::string StringSink::take(std::size_t length) && {
    text_.resize(length);
    return std::move(text_);
}

}  // namespace atomkit
