// The pages of a source PDF, found by one bounded walk over its page tree, and the
// object numbers that a walk over a file's objects has met.
//
// A page tree is read from the file: it may loop, name objects that are not in the
// file, hold numbers where pages belong, or claim any /Count. MuPDF's own lookup of a
// page by its index walks the tree from its root every time (a source of n pages costs
// n * n / 2 steps) and trusts /Count; this walk reads the tree once, in order, and
// every number it takes from the file is checked before it indexes anything.
//
// Runs on the thread that uses the MuPDF context. Throws diag::RuntimeError (MuPDF's
// message, or ours for a tree that cannot be walked) and MemoryLimit.
#pragma once

#include <unordered_map>
#include <vector>

#include "pdf/mupdf.hpp"

namespace pdf {

// Object numbers met in one walk over a document's objects, so that a walk visits an
// object once. A number taken from the file is checked against the document's
// cross-reference table before it indexes anything: against the table's length at
// each check, since the table grows when MuPDF repairs a file while it reads it.
class SeenObjects {
public:
    explicit SeenObjects(pdf_document* doc) : doc_(doc) {}

    enum class Mark {
        first,    // not met before; marked now
        again,    // met before
        outside,  // names no object of the file (below 1, or past the table's end)
    };
    // Marks object `num`. Throws diag::RuntimeError.
    Mark mark(int num);

private:
    pdf_document* doc_;  // borrowed
    std::vector<bool> seen_;
};

// Deeper page trees are refused: a tree of a million pages with ten pages per node is
// six levels deep, and no writer nests nodes one in another by the hundred.
inline constexpr int MAX_PAGE_TREE_DEPTH = 64;

// The pages of a document in the order a viewer shows them.
struct SourcePages {
    // Each page's dictionary (kept), with the attributes it inherits from the nodes
    // above it (MediaBox, CropBox, Rotate, Resources) put on it.
    std::vector<Object> pages;
    // The object number of each page, 0 for a page written in place inside its node.
    std::vector<int> numbers;
    // Object number of a page -> its 0-based index.
    std::unordered_map<int, int> index_of;
    // The first page that is lost (its /Kids entry names no object of the file, or
    // something other than a dictionary), or -1. The walk stops there: the pages after
    // it are not listed.
    int lost = -1;
    // The tree's own page count (the root's /Count) is not the number of pages found:
    // the file is damaged, and read as a viewer that walks the tree reads it.
    bool count_differs = false;

    int count() const { return static_cast<int>(pages.size()); }

    // The 0-based index of the page that `target` names: a reference to one of the
    // pages, or a page number (as some writers put into a link's destination); -1 when
    // it names none of them. Does not resolve anything and does not throw.
    int index_of_target(fz_context* c, pdf_obj* target) const noexcept;
};

// Walks the page tree from Root/Pages depth first, in /Kids order. An entry of /Kids is
// a node when its /Type is /Pages (or, without /Type, when it has /Kids and no
// /MediaBox), and a page otherwise, as MuPDF tells them apart. Each page gets the
// inheritable attributes of its nearest node that has them, and loses its /Parent, so
// that nothing later follows a /Parent chain read from the file. A document without
// a page tree has no pages.
//
// Throws diag::RuntimeError (without a catalogue message: the caller names the file)
// when the tree loops or names one object twice, or runs deeper than
// MAX_PAGE_TREE_DEPTH.
SourcePages walk_pages(pdf_document* doc);

}  // namespace pdf
