#pragma once

#include <cstddef>
#include <cstdint>

namespace tvdb {

// Where the sign bits of binary rows live: slots form blocks of eight, and a block stores
// word 0 of its eight slots, then word 1 of them, and so on. One 512-bit load then holds the
// same word of eight slots, and a scan sums the bit counts of eight slots at once whatever
// the number of words per slot, with no sums across lanes.
struct SignBitLayout {
    static constexpr size_t kBlockSlots = 8;

    explicit SignBitLayout(size_t words_per_slot) : words(words_per_slot) {}

    size_t block_words() const { return kBlockSlots * words; }
    // Offset of word `word` of slot `slot` from the start of the store.
    size_t offset(size_t slot, size_t word) const {
        return slot / kBlockSlots * block_words() + word * kBlockSlots + slot % kBlockSlots;
    }

    size_t words;
};

// The Hamming distance of the query's bits (layout.words words) to every slot of `n_blocks`
// whole blocks starting at `blocks`; out[s] is slot s of the first block.
void hamming_blocks(const uint64_t* query, const SignBitLayout& layout, const uint64_t* blocks,
                    size_t n_blocks, uint32_t* out);

// The positions i < n whose value is below `bound`, ascending; returns their count.
// `positions` needs room for n + 16 entries.
size_t positions_below(const uint32_t* values, size_t n, uint32_t bound, uint32_t* positions);

}  // namespace tvdb
