// Fuzz target: the merge engine on a source PDF of any bytes, given twice, in layout 1
// and in a grid layout, with a second output of the second copy made from the first's
// work. Whatever the bytes, each either merges or fails with a catalogue message
// naming the source; nothing crashes, loops without end or throws anything else.
//
// The bytes go through a file, as a waybill does, in a folder of its own under TMPDIR
// (a memory-backed one makes the runs faster), removed at exit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "diag/errors.hpp"
#include "pdf/merge.hpp"

namespace {

namespace fs = std::filesystem;

struct Folder {
    Folder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mergalo_fuzz.XXXXXX";
        if (!mkdtemp(pattern.data())) __builtin_trap();
        path = pattern;
    }
    ~Folder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

// A merge's failure must be one of ours, with a catalogue message.
template <class Run>
void expect_merged_or_named(Run&& run) {
    try {
        run();
    } catch (const diag::RuntimeError& e) {
        if (e.text() == nullptr) __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Folder folder;
    const fs::path source = folder.path / "waybill.pdf";
    const fs::path out = folder.path / "merged.pdf";
    {
        std::ofstream f(source, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!f) __builtin_trap();
    }
    // The layout comes from the bytes, so that every grid layout gets its share.
    const int grid = size % 3 == 0 ? 4 : size % 3 == 1 ? 6 : 9;
    // The source twice, and a second output of the second copy made from the first's
    // work: it holds half the pages.
    const fs::path second = folder.path / "second.pdf";
    for (int nup : {1, grid}) {
        expect_merged_or_named([&] {
            const std::vector<pdf::MergeCounts> counts =
                pdf::merge_selected({source, source}, {{out}, {second, {}, {false, true}}}, nup);
            if (counts.at(0).total_pages <= 0 || counts.at(0).final_sheets <= 0) __builtin_trap();
            if (counts.at(1).total_pages * 2 != counts.at(0).total_pages) __builtin_trap();
        });
        std::error_code ec;
        fs::remove(out, ec);
        fs::remove(second, ec);
    }
    return 0;
}
