// Fuzz target: the archive intake. Any bytes as a ZIP archive, read as a job reads it
// (names in CP866 or CP437, and a memory budget that holds every waybill, some or none,
// by the input's length): either refused with a catalogue message, or read with every
// waybill held in memory or a plain file inside the scratch folder (made only then),
// named ".pdf", one per normalised name and in order; nothing lands outside the scratch
// folder.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <string_view>

#include "archive/intake.hpp"
#include "diag/errors.hpp"
#include "i18n/unicode.hpp"
#include "platform/platform.hpp"

namespace {

namespace fs = std::filesystem;

// The archive and each run's scratch folder, in one folder for the whole process.
struct Workspace {
    fs::path dir = platform::make_private_dir(platform::temp_dir(), "archive_intake_fuzz_");
    fs::path zip = dir / "in.zip";
    fs::path scratch = dir / "mergalo_scratch";
    ~Workspace() { platform::remove_tree(dir); }
};

void check(bool ok) {
    if (!ok) __builtin_trap();
}

bool is_pdf_name(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || name.size() - dot != 4) return false;
    std::string ext(name.substr(dot));
    for (char& c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return ext == ".pdf";
}

void check_unpacked(const archive::Unpacked& u, const fs::path& scratch) {
    std::set<std::string> keys;
    std::string previous;
    for (const archive::Waybill& w : u.waybills) {
        for (const fs::path& part : w.path.lexically_relative(scratch)) check(part != "..");
        check((w.file == nullptr) != (w.bytes == nullptr));
        if (w.file == nullptr) {
            check(w.path == platform::path_from_utf8(w.member_path));
        } else {
            check(fs::symlink_status(w.path).type() == fs::file_type::regular);
            check(w.file->path() == w.path && !w.path.lexically_relative(scratch).empty());
        }
        check(is_pdf_name(w.name) && w.member_path.ends_with(w.name) && w.sha256.size() == 64);
        check(keys.insert(i18n::normalize_waybill_name(w.name)).second);
        std::string key = i18n::fold_case(w.name);
        check(previous <= key);
        previous = std::move(key);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Workspace workspace;
    {
        std::ofstream out(workspace.zip, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        check(static_cast<bool>(out));
    }
    platform::remove_tree(workspace.scratch);
    const archive::ScratchPlace place{workspace.dir, platform::native_length(workspace.scratch), [] {
                                          fs::create_directory(workspace.scratch);
                                          return workspace.scratch;
                                      }};
    constexpr std::uint64_t BUDGETS[] = {0, 4096, archive::MEMORY_BUDGET_BYTES};
    const archive::detail::Conditions conditions{.free_bytes = std::uint64_t{1} << 32,
                                                 .code_page = static_cast<std::uint16_t>(size % 2 == 0 ? 866 : 437),
                                                 .memory_bytes = BUDGETS[size % 3]};
    try {
        const archive::Unpacked unpacked = archive::detail::unpack_waybills(workspace.zip, place, conditions);
        check_unpacked(unpacked, workspace.scratch);
    } catch (const diag::RuntimeError&) {
        // A refusal, with its message: what a damaged or hostile archive must give.
    }
    // Nothing but the archive and the scratch folder in the workspace.
    for (const fs::directory_entry& e : fs::directory_iterator(workspace.dir))
        check(e.path() == workspace.zip || e.path() == workspace.scratch);
    platform::remove_tree(workspace.scratch);
    return 0;
}
