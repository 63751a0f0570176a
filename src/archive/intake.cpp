// Reading the members of a waybill archive for a job: first the job's list of waybills
// from the directory alone (walk order, repeats dropped, sorted by name); then each
// waybill read into memory or, past the memory budget, into a file of the scratch
// folder, hashed as it is read, and the rest of the archive checked.
#include "archive/intake.hpp"

#include <zip.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>

#include "archive/places.hpp"
#include "archive/reading.hpp"
#include "diag/errors.hpp"
#include "i18n/unicode.hpp"
#include "platform/platform.hpp"
#include "platform/scratch_file.hpp"

namespace archive {

namespace fs = std::filesystem;

namespace {

using detail::member_error;

constexpr std::size_t COPY_BUFFER_BYTES = 64 * 1024;

struct MemberCloser {
    void operator()(zip_file_t* zf) const { zip_fclose(zf); }
};
using MemberFile = std::unique_ptr<zip_file_t, MemberCloser>;

// One member while it is read.
struct Member {
    zip_uint64_t index = 0;
    std::string name;    // decoded, UTF-8
    std::string path{};  // sanitised, relative, "/"-separated
    std::uint64_t size = 0;
};

// Where a member's bytes go as they are read: appended to a text held in memory, into
// a scratch file, or nowhere (a member that is only checked).
struct Sink {
    std::string* memory = nullptr;
    platform::ScratchFile* file = nullptr;
    void put(std::string_view piece, const std::string& path) const {
        if (memory != nullptr) memory->append(piece);
        if (file == nullptr) return;
        try {
            file->write(piece);
        } catch (const fs::filesystem_error& e) {
            detail::fail_write(path, e.code());
        }
    }
};

std::string hex_of(const std::array<std::uint8_t, 32>& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(64);
    for (const std::uint8_t byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0F];
    }
    return hex;
}

// Reads one member's data into `sink`, never more than its declared size (libzip keeps
// inflating past the size the directory declares, so the limit is ours), checking its
// CRC on the way. With `hashed`, returns the SHA-256 of its bytes as lower-case hex (the
// bytes are hashed as they are read, never read again for it); else "".
std::string read_member(zip_t* za, const Member& m, const Sink& sink, std::vector<char>& buffer, bool hashed) {
    MemberFile file(zip_fopen_index(za, m.index, 0));
    if (!file)
        throw diag::RuntimeError(
            diag::Text{"zip_member_unreadable", {{"name", m.name}}, "", zip_error_strerror(zip_get_error(za))});
    std::optional<platform::Sha256> hash;
    if (hashed) hash.emplace();
    std::uint64_t read = 0;
    for (;;) {
        // Ask for one byte more than is left, so that a member running past its
        // declared size shows itself without being kept.
        const std::uint64_t want = std::min<std::uint64_t>(buffer.size(), m.size - read + 1);
        const zip_int64_t n = zip_fread(file.get(), buffer.data(), want);
        if (n < 0) {
            zip_error_t* error = zip_file_get_error(file.get());
            if (zip_error_code_zip(error) == ZIP_ER_CRC) throw member_error("zip_member_crc", m.name);
            throw diag::RuntimeError(
                diag::Text{"zip_member_unreadable", {{"name", m.name}}, "", zip_error_strerror(error)});
        }
        if (n == 0) break;
        read += static_cast<std::uint64_t>(n);
        if (read > m.size) throw member_error("zip_member_longer", m.name);
        const std::string_view piece(buffer.data(), static_cast<std::size_t>(n));
        if (hash) hash->update(piece);
        sink.put(piece, m.path);
    }
    if (read < m.size) throw member_error("zip_member_shorter", m.name);
    if (sink.file != nullptr) {
        try {
            sink.file->finish();
        } catch (const fs::filesystem_error& e) {
            detail::fail_write(m.path, e.code());
        }
    }
    return hash ? hex_of(hash->final()) : std::string();
}

// A PDF member as the directory gives it, in archive order: whether the budget holds
// it in memory, and its place on disk should it go to a file.
struct Pdf {
    Member member;
    std::string disk_path;  // relative to the scratch folder
    bool held = false;
};

// The archive's walk order over its PDFs: a folder's own files first, then its
// sub-folders, depth first; a folder's files and sub-folders in the order the archive
// names them. The tree's files are indices into the PDFs.
std::vector<std::size_t> walk_order(const std::vector<detail::DiskPlaces::Folder>& tree, std::size_t count) {
    std::vector<std::size_t> order;
    order.reserve(count);
    std::vector<std::size_t> pending{0};
    while (!pending.empty()) {
        const detail::DiskPlaces::Folder& f = tree[pending.back()];
        pending.pop_back();
        order.insert(order.end(), f.files.begin(), f.files.end());
        pending.insert(pending.end(), f.children.rbegin(), f.children.rend());
    }
    return order;
}

}  // namespace

// The archive, what its directory says, and the reading's state shared by the thread
// that reads and the one that waits for waybills.
struct WaybillReader::Plan {
    Plan(const fs::path& zip, const ScratchPlace& place, const detail::Conditions& c)
        : zip_path(zip), scratch(place), conditions(c), places(scratch) {}

    fs::path zip_path;
    ScratchPlace scratch;  // `places` refers to it
    detail::Conditions conditions;
    detail::DiskPlaces places;
    detail::Archive archive;
    std::size_t members = 0;
    std::vector<Pdf> pdfs;                 // in archive order
    std::vector<std::size_t> waybill_pdf;  // per waybill: its PDF
    std::vector<std::size_t> repeats;      // the PDFs left out as repeats, in walk order
    std::vector<std::size_t> repeat_of;    // per repeat: the waybill of its name
    std::vector<Member> others;            // the files that are not PDFs, in archive order
    std::vector<std::size_t> held_index;   // per waybill: its text in unpacked.held, when held
    Unpacked unpacked;

    std::mutex mutex;
    std::condition_variable changed;
    std::size_t ready = 0;  // waybills read whole
    bool ended = false;
    std::exception_ptr failure;
    std::jthread thread;  // last, so that it is joined before the rest goes

    void list_members();
    void list_waybills();
    void read(const std::stop_token& stop);
    void read_waybill(std::size_t index, std::vector<char>& buffer);
    void read_rest(const std::stop_token& stop, std::vector<char>& buffer);
    void run(const std::stop_token& stop) noexcept;
};

// Every member in archive order: folders into the tree, PDFs with their places and the
// budget's decision, other files to be checked.
void WaybillReader::Plan::list_members() {
    detail::MemoryBudget budget(conditions);
    for (zip_uint64_t i = 0; i < members; ++i) {
        Member m{i, detail::member_name(archive.get(), i, zip_path, conditions.code_page)};
        m.path = detail::sanitize_member_path(m.name);
        if (m.path.empty()) continue;  // nothing of the name is left to place
        if (detail::names_folder(m.name)) {
            places.folder(m.path);
            continue;
        }
        const std::string_view path(m.path);
        const std::size_t slash = path.rfind('/');
        const std::string own_name(slash == std::string_view::npos ? path : path.substr(slash + 1));
        const std::size_t folder = places.folder(path.substr(0, slash == std::string_view::npos ? 0 : slash));
        m.size = detail::stat_member(archive.get(), i, zip_path).size;
        std::string rel = places.file(folder, own_name);
        if (!detail::has_pdf_extension(own_name)) {
            others.push_back(std::move(m));
            continue;
        }
        places[folder].files.push_back(pdfs.size());
        const bool held = budget.hold(m.size);
        pdfs.push_back({std::move(m), std::move(rel), held});
    }
}

// The job's list from the directory: walk order, the first of a name kept, sorted
// stably by the case-folded name; the memory for the waybills held, the room for the
// files of the others.
void WaybillReader::Plan::list_waybills() {
    struct Kept {
        std::string sort_key;
        std::size_t pdf;
    };
    std::vector<Kept> kept;
    std::unordered_map<std::string, std::size_t> first;  // normalised name -> index into kept
    for (const std::size_t pdf : walk_order(places.take_tree(), pdfs.size())) {
        const std::string_view name = i18n::last_path_component(pdfs[pdf].member.path);
        const auto [at, inserted] = first.try_emplace(i18n::normalize_waybill_name(name), kept.size());
        if (!inserted) {
            repeats.push_back(pdf);
            repeat_of.push_back(kept[at->second].pdf);  // made a waybill's index below
            continue;
        }
        kept.push_back({i18n::fold_case(name), pdf});
    }
    // std::string compares bytes as unsigned char, and UTF-8 byte order is code-point order.
    std::stable_sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) { return a.sort_key < b.sort_key; });
    std::size_t held = 0;
    std::size_t files = 0;
    for (const Kept& k : kept) ++(pdfs[k.pdf].held ? held : files);
    // Neither list grows after this, so the waybills' pointers into them stay valid.
    unpacked.held.resize(held);
    unpacked.files.reserve(files);
    held = 0;
    for (const Kept& k : kept) {
        const Pdf& pdf = pdfs[k.pdf];
        Waybill w{{}, std::string(i18n::last_path_component(pdf.member.path)), pdf.member.path};
        held_index.push_back(held);
        if (pdf.held) {
            w.bytes = &unpacked.held[held++];
            w.path = platform::path_from_utf8(w.member_path);
        }
        waybill_pdf.push_back(k.pdf);
        unpacked.waybills.push_back(std::move(w));
    }
    // The repeats' waybills, now numbered in the job's order.
    std::unordered_map<std::size_t, std::size_t> waybill_of_pdf;
    for (std::size_t w = 0; w < waybill_pdf.size(); ++w) waybill_of_pdf.emplace(waybill_pdf[w], w);
    for (std::size_t& r : repeat_of) r = waybill_of_pdf.at(r);
}

// Reads waybill `index` into its memory, or into a new file of the scratch folder.
void WaybillReader::Plan::read_waybill(std::size_t index, std::vector<char>& buffer) {
    Pdf& pdf = pdfs[waybill_pdf[index]];
    Waybill& w = unpacked.waybills[index];
    Sink sink;
    if (pdf.held) {
        sink.memory = &unpacked.held[held_index[index]];
        sink.memory->reserve(static_cast<std::size_t>(pdf.member.size));
    } else {
        // Whatever the member's attributes say (a symbolic link, a device), its data
        // becomes a plain file. The name is a fresh one in our own scratch folder
        // (DiskPlaces never gives one twice), so nothing is looked up first.
        const fs::path place = places.make_place(pdf.disk_path, pdf.member.path);
        try {
            sink.file = &unpacked.files.emplace_back(place, platform::ScratchFile::Lifetime::object);
        } catch (const fs::filesystem_error& e) {
            detail::fail_write(pdf.member.path, e.code());
        }
        w.file = sink.file;
        w.path = place;
    }
    w.sha256 = read_member(archive.get(), pdf.member, sink, buffer, true);
}

// Reads what is not a waybill, in archive order: a repeat is hashed, for the list of
// repeats whose content differs from the waybill kept; any other file is checked.
void WaybillReader::Plan::read_rest(const std::stop_token& stop, std::vector<char>& buffer) {
    std::vector<std::pair<const Member*, std::optional<std::size_t>>> rest;  // with the repeat's index
    for (const Member& m : others) rest.emplace_back(&m, std::nullopt);
    for (std::size_t r = 0; r < repeats.size(); ++r) rest.emplace_back(&pdfs[repeats[r]].member, r);
    std::sort(rest.begin(), rest.end(), [](const auto& a, const auto& b) { return a.first->index < b.first->index; });
    std::vector<std::string> repeat_hash(repeats.size());
    for (const auto& [member, repeat] : rest) {
        if (stop.stop_requested()) return;
        std::string hash = read_member(archive.get(), *member, Sink{}, buffer, repeat.has_value());
        if (repeat) repeat_hash[*repeat] = std::move(hash);
    }
    // Another file of a kept name with other bytes is a waybill the user must hear
    // about, named with its folders, so that the user finds it in the archive.
    for (std::size_t r = 0; r < repeats.size(); ++r)
        if (repeat_hash[r] != unpacked.waybills[repeat_of[r]].sha256)
            unpacked.conflicting_duplicates.push_back(pdfs[repeats[r]].member.path);
}

void WaybillReader::Plan::read(const std::stop_token& stop) {
    std::vector<char> buffer(COPY_BUFFER_BYTES);
    for (std::size_t i = 0; i < unpacked.waybills.size(); ++i) {
        if (stop.stop_requested()) return;
        read_waybill(i, buffer);
        const std::lock_guard<std::mutex> hold(mutex);
        ready = i + 1;
        changed.notify_all();
    }
    read_rest(stop, buffer);
}

void WaybillReader::Plan::run(const std::stop_token& stop) noexcept {
    std::exception_ptr failed;
    try {
        read(stop);
    } catch (...) {
        failed = std::current_exception();
    }
    const std::lock_guard<std::mutex> hold(mutex);
    failure = failed;
    ended = true;
    changed.notify_all();
}

WaybillReader::WaybillReader(const fs::path& zip_path, const ScratchPlace& scratch, std::uint16_t oem_code_page,
                             std::uint64_t memory_bytes)
    : WaybillReader(zip_path, scratch, detail::Conditions{.code_page = oem_code_page, .memory_bytes = memory_bytes}) {}

WaybillReader::WaybillReader(const fs::path& zip_path, const ScratchPlace& scratch,
                             const detail::Conditions& conditions)
    : plan_(std::make_unique<Plan>(zip_path, scratch, conditions)) {
    plan_->archive = detail::open_archive(zip_path, conditions.max_members);
    plan_->members =
        static_cast<std::size_t>(detail::check_members(plan_->archive.get(), zip_path, conditions, scratch.parent));
    plan_->list_members();
    plan_->list_waybills();
}

WaybillReader::~WaybillReader() = default;

const std::vector<Waybill>& WaybillReader::waybills() const { return plan_->unpacked.waybills; }

std::size_t WaybillReader::members() const { return plan_->members; }

void WaybillReader::start() {
    try {
        plan_->thread = std::jthread([plan = plan_.get()](const std::stop_token& stop) { plan->run(stop); });
    } catch (const std::system_error&) {
        plan_->run({});  // no thread to be had: the archive is read first, as a whole
    }
}

void WaybillReader::wait_for(std::size_t index) {
    Plan& p = *plan_;
    std::unique_lock<std::mutex> hold(p.mutex);
    // Bounded by the reading itself, which always ends (read whole, failed or stopped) and says so.
    p.changed.wait(hold, [&] { return p.ready > index || p.ended; });
    if (p.ready <= index) throw ReadingStopped{};
}

Unpacked WaybillReader::finish() {
    Plan& p = *plan_;
    if (p.thread.joinable())
        p.thread.join();
    else
        p.run({});
    if (p.failure) std::rethrow_exception(p.failure);
    p.archive.reset();  // closed before the waybills are handed on
    return std::move(p.unpacked);
}

void WaybillReader::settle() {
    Plan& p = *plan_;
    if (!p.thread.joinable()) return;
    {
        const std::lock_guard<std::mutex> hold(p.mutex);
        if (p.ready < p.unpacked.waybills.size()) p.thread.request_stop();
    }
    p.thread.join();
    if (p.failure) std::rethrow_exception(p.failure);
}

namespace detail {

Unpacked unpack_waybills(const fs::path& zip_path, const ScratchPlace& scratch, const Conditions& conditions) {
    return WaybillReader(zip_path, scratch, conditions).finish();
}

}  // namespace detail

Unpacked unpack_waybills(const fs::path& zip_path, const ScratchPlace& scratch, std::uint16_t oem_code_page,
                         std::uint64_t memory_bytes) {
    return WaybillReader(zip_path, scratch, oem_code_page, memory_bytes).finish();
}

}  // namespace archive
