// Writes the seed corpus of one fuzz target: `<target>_seeds <directory>`.

#include <cstdio>
#include <filesystem>

#include "fuzz_support.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    std::filesystem::create_directories(argv[1]);
    tvdb::fuzz::write_seeds(argv[1]);
    return 0;
}
