// Runs a fuzz target without libFuzzer: on the files named on the command line, or on
// the target's seed inputs (fuzz/seeds.cpp) when none is named. Lets every build and CI
// exercise the targets; a clang build with MERGALO_FUZZ=ON links the real fuzzer instead.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/seeds.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int run(const std::string& bytes) {
    return LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

// Cut-off input is the usual damage: a seed is run cut after each of its first bytes,
// and past those at a few places spread evenly over the rest (an archive or a PDF cut
// anywhere has lost its end: a few cuts say as much as all of them).
constexpr std::size_t EVERY_PREFIX_UP_TO = 64;
constexpr std::size_t SPREAD_CUTS = 8;

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        const std::vector<std::string> seeds = fuzz::seeds(FUZZ_TARGET);
        if (seeds.empty()) {
            std::cerr << "no seeds for " FUZZ_TARGET "\n";
            return 1;
        }
        for (const std::string& seed : seeds) {
            run(seed);
            for (std::size_t n = 0; n < std::min(seed.size(), EVERY_PREFIX_UP_TO); ++n) run(seed.substr(0, n));
            for (std::size_t k = 1; k < SPREAD_CUTS && seed.size() > EVERY_PREFIX_UP_TO; ++k)
                run(seed.substr(0, EVERY_PREFIX_UP_TO + (seed.size() - EVERY_PREFIX_UP_TO) * k / SPREAD_CUTS));
        }
        std::cout << "replayed " << seeds.size() << " seeds and their prefixes\n";
        return 0;
    }
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        if (!in) {
            std::cerr << "cannot read " << argv[i] << '\n';
            return 1;
        }
        run(std::string(std::istreambuf_iterator<char>(in), {}));
    }
    return 0;
}
