// PDFs written object by object, for inputs that a careful writer never makes: files
// cut short, pages without a page tree, content compressed twice, annotations of
// every kind. Used by the tests and by the hostile-archive generator of the
// benchmarks; needs only zlib. Throw std::runtime_error on failure.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace fixtures {

// One object: its dictionary entries (without "<<" and ">>", or a whole non-dictionary
// value when `stream` is empty and `bare` is set) and, for a stream, its bytes as
// stored (/Length is added).
struct RawObject {
    std::string dict;
    std::optional<std::string> stream{};
    bool bare = false;
};

// A PDF whose objects are numbered 1, 2, ... in the order given; object 1 is the
// catalog. With a correct cross-reference table and trailer.
std::string raw_pdf(const std::vector<RawObject>& objects);

// `n` zero bytes (as the text "0" repeated) deflated twice: the stored bytes of a
// stream with /Filter [/FlateDecode /FlateDecode] that decodes to n bytes.
std::string deflated_twice(std::size_t n);

}  // namespace fixtures
