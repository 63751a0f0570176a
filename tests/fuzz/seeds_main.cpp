// fuzz_seeds TARGET DIR: writes the seed inputs of a fuzz target into DIR (created when
// missing) as seed-1, seed-2, ..., the corpus a fuzzing run starts from; prints how many.
// Exit code 0, 1 on a failure, 2 on bad arguments.
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "fuzz/seeds.hpp"
#include "support/temp_dir.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: fuzz_seeds TARGET DIR\n";
        return 2;
    }
    try {
        const std::vector<std::string> seeds = fuzz::seeds(argv[1]);
        const std::filesystem::path dir = argv[2];
        std::filesystem::create_directories(dir);
        for (std::size_t i = 0; i < seeds.size(); ++i)
            fixtures::write_bytes(dir / ("seed-" + std::to_string(i + 1)), seeds[i]);
        std::cout << seeds.size() << '\n';
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "fuzz_seeds: " << e.what() << '\n';
        return 1;
    }
}
