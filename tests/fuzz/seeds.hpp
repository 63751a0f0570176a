// Seed inputs of the fuzz targets: what the replay drivers run (with their cut-off
// prefixes) in every build, and what `fuzz_seeds` writes as the fuzzer's corpus.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// The seeds of the fuzz target `target` (its name without "_fuzz"); none for a target
// without seeds of its own. Archives are written at run time with the test fixtures.
// Throws std::runtime_error when a seed cannot be made.
std::vector<std::string> seeds(std::string_view target);

}  // namespace fuzz
