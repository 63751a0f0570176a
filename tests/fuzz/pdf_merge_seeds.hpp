// Seed inputs of the merge engine's fuzz target: generated waybills as marketplaces
// hand them out, and the damage real files show (cut files, page trees that loop or
// name objects that are not there, looping form fields, repeated and dangling links,
// content compressed twice).
#pragma once

#include <string>
#include <vector>

namespace fuzz {

struct Seed {
    std::string name;   // a file name for the corpus folder
    std::string bytes;  // the PDF
};

// Makes the seeds with the process's MuPDF context. Throws on failure (fonts missing).
std::vector<Seed> pdf_merge_seeds();

}  // namespace fuzz
