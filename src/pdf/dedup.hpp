// De-duplication of the objects of a document being built: identical fonts, images and
// other objects that several sources bring along are stored once.
//
// Runs on the thread that uses the MuPDF context. Every function throws
// diag::RuntimeError with MuPDF's message when MuPDF fails.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "pdf/mupdf.hpp"

namespace pdf {

// Numbers of removed duplicate objects -> the number of the copy that stays.
using Remap = std::unordered_map<int, int>;

// Follows a chain of merges (a merged into b, b later into c) to its end; a number
// that was never merged is returned as it is. Does not throw.
int final_number(const Remap& remap, int num) noexcept;

// Stores identical objects of a document once, as MuPDF's garbage collection level 4
// does (same dictionary or value, and for streams the same raw bytes; page objects and
// page tree nodes are never merged), but by hashing instead of comparing every pair of
// objects, which costs quadratic time on a thousand sources.
//
// Objects are absorbed in batches: after a source has been copied, merge_new_objects
// merges the objects it added with each other and with the objects kept so far. Kept
// objects never change afterwards, because objects made earlier refer to later ones
// only through the page tree, and pages are never merged. The document is borrowed and
// must outlive the merger.
class ObjectMerger {
public:
    explicit ObjectMerger(pdf_document* doc) : doc_(doc) {}

    // Merges duplicates among the objects numbered `first` and up: every reference to
    // a removed object (in dictionaries and arrays, at any depth) is pointed at its kept
    // copy, the duplicates are deleted from the document, and the returned map says
    // where each removed number went (chains resolved).
    Remap merge_new_objects(int first);

private:
    struct Kept {
        int num;
        std::string text;  // the object (a stream's dictionary) as PDF syntax
        bool is_stream;
    };
    struct Print;
    using Table = std::unordered_map<std::size_t, std::vector<Kept>>;

    std::vector<int> live_objects(int first);
    void rewrite_object(int num, const Remap& remap);
    Buffer raw_stream(int num);
    Print fingerprint(int num);
    int find_equal(const Table& table, const Print& p);

    pdf_document* doc_;
    Table kept_;
};

}  // namespace pdf
