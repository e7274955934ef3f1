// Fp16FlatIndex::load (half-precision codes) on arbitrary bytes: fail cleanly or give an index
// that works and survives a save/load round trip.

#include "fp16_flat_index.hpp"
#include "fuzz_support.hpp"

namespace tvdb::fuzz {

void write_seeds(const std::string& dir) {
    write_flat_kind_seeds<Fp16FlatIndex>(dir, {1, 7, 16, 65});
}

}  // namespace tvdb::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tvdb::fuzz::check_index_file<tvdb::Fp16FlatIndex>("fp16_flat_index", data, size);
    return 0;
}
