// Runs the merge engine's fuzz target without libFuzzer, as CTest does in every build:
// on the files named on the command line, or on its seeds and their beginnings cut at
// several lengths when none is named (a cut file is the usual damage). With
// --write-seeds DIR it writes the seeds into DIR as files, the corpus libFuzzer starts
// from.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

#include "fuzz/pdf_merge_seeds.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void run(std::string_view bytes) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string_view(argv[1]) == "--write-seeds") {
        std::filesystem::create_directories(argv[2]);
        for (const fuzz::Seed& seed : fuzz::pdf_merge_seeds()) {
            std::ofstream f(std::filesystem::path(argv[2]) / seed.name, std::ios::binary | std::ios::trunc);
            f.write(seed.bytes.data(), static_cast<std::streamsize>(seed.bytes.size()));
            if (!f) {
                std::cerr << "cannot write " << seed.name << '\n';
                return 1;
            }
        }
        return 0;
    }
    if (argc == 1) {
        constexpr std::size_t CUTS = 8;
        const auto seeds = fuzz::pdf_merge_seeds();
        for (const fuzz::Seed& seed : seeds) {
            run(seed.bytes);
            for (std::size_t k = 1; k < CUTS; ++k) run(std::string_view(seed.bytes).substr(0, seed.bytes.size() * k / CUTS));
        }
        std::cout << "replayed " << seeds.size() << " seeds and " << CUTS - 1 << " beginnings of each\n";
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
