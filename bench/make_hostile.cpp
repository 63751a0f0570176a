// make_hostile: writes archives that try to make a merge take far more memory than
// their size, for bench/hostile.sh.
//
//   make_hostile content-bomb --decoded BYTES --out DIR --zip ARCHIVE
//       One waybill whose page content is two streams, the second compressed twice:
//       a few hundred bytes stored, BYTES when decoded (the "793-byte archive").
//   make_hostile raw-streams --files N --file-bytes BYTES --ratio R --out DIR --zip ARCHIVE
//       N one-page waybills, each about BYTES long, whose content is stored without
//       compression: random text and runs of zeros mixed so that the archive packs them
//       about R times (R below the intake's limit of 6 makes the largest archive a
//       job accepts for its size).
//   make_hostile many-members --members N [--waybills K] --zip ARCHIVE
//       N members, stored: K one-page waybills and then empty members that are not PDFs
//       ("m0000001.txt", ...), 100 bytes of archive each, so that a million of them
//       make an archive of 100 MB.
//
// DIR receives the PDF files; the same arguments give the same bytes. Exit code 0 on
// success, 2 on bad arguments, 1 on any other failure.
#include <zip.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "support/raw_pdf.hpp"
#include "workload/waybill.hpp"

namespace {

namespace fs = std::filesystem;

fixtures::RawObject stream(const std::string& dict, const std::string& bytes) { return {dict, bytes}; }

std::string one_page(const std::string& contents, const std::vector<fixtures::RawObject>& streams) {
    std::vector<fixtures::RawObject> objects{
        {" /Type /Catalog /Pages 2 0 R "},
        {" /Type /Pages /Kids [3 0 R] /Count 1 "},
        {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents " + contents + " "}};
    objects.insert(objects.end(), streams.begin(), streams.end());
    return fixtures::raw_pdf(objects);
}

void write_file(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + p.string());
}

// Content of about `bytes` bytes that deflate packs about `ratio` times: comment lines
// of random letters (packing about 1.3 times) and of zeros (packing about 1000 times).
std::string mixed_content(std::uint64_t seed, std::size_t bytes, double ratio) {
    const double zeros_per_random = std::max(0.0, 0.75 * ratio - 1.0);
    const std::size_t random_bytes = static_cast<std::size_t>(bytes / (1.0 + zeros_per_random));
    std::string out = "0 g 50 50 100 100 re f\n";
    out.reserve(bytes + 200);
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
    static constexpr char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t random_left = random_bytes;
    while (out.size() < bytes) {
        std::string line = "%";
        if (random_left > 0) {
            for (int i = 0; i < 78; ++i) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                line += letters[x & 63];
            }
            random_left = random_left > 80 ? random_left - 80 : 0;
        }
        const std::size_t zeros = static_cast<std::size_t>(80 * zeros_per_random);
        line += "\n%";
        line.append(zeros, '0');
        line += '\n';
        out += line;
    }
    return out;
}

std::map<std::string, std::string> parse(int argc, char** argv) {
    std::map<std::string, std::string> o;
    for (int i = 2; i + 1 < argc; i += 2) o[argv[i]] = argv[i + 1];
    return o;
}

std::uint64_t number(const std::map<std::string, std::string>& o, const std::string& key) {
    const std::string& text = o.at(key);
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size()) throw std::invalid_argument(key + " needs a number");
    return v;
}

// An archive of `count` stored members, written with libzip: `waybills` small
// one-page PDFs first, then empty members that are not PDFs.
void write_many_members(const fs::path& zip, std::uint64_t count, std::uint64_t waybills) {
    int code = 0;
    zip_t* za = zip_open(zip.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    if (za == nullptr) throw std::runtime_error("cannot create " + zip.string());
    const auto fail = [&](const std::string& what) {
        const std::string error = what + ": " + zip_strerror(za);
        zip_discard(za);
        throw std::runtime_error(error);
    };
    // libzip reads a buffer only when it writes the archive, so the PDFs live until then.
    std::vector<std::string> pdfs;
    pdfs.reserve(static_cast<std::size_t>(std::min(waybills, count)));
    char name[32];
    for (std::uint64_t i = 0; i < count; ++i) {
        zip_source_t* data = nullptr;
        if (i < waybills) {
            std::snprintf(name, sizeof name, "w%07llu.pdf", static_cast<unsigned long long>(i));
            pdfs.push_back(one_page("4 0 R", {stream("", "0 g 50 50 " + std::to_string(100 + i) + " 100 re f\n")}));
            data = zip_source_buffer(za, pdfs.back().data(), pdfs.back().size(), 0);
        } else {
            std::snprintf(name, sizeof name, "m%07llu.txt", static_cast<unsigned long long>(i));
            data = zip_source_buffer(za, "", 0, 0);
        }
        if (data == nullptr) fail("zip_source_buffer");
        const zip_int64_t index = zip_file_add(za, name, data, 0);
        if (index < 0) {
            zip_source_free(data);
            fail("zip_file_add");
        }
        if (zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_STORE, 0) != 0)
            fail("zip_set_file_compression");
    }
    if (zip_close(za) != 0) fail("cannot write " + zip.string());
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc < 2) throw std::invalid_argument("no command");
        const std::string command = argv[1];
        const auto o = parse(argc, argv);
        if (command == "many-members") {
            write_many_members(o.at("--zip"), number(o, "--members"),
                               o.contains("--waybills") ? number(o, "--waybills") : 0);
            return 0;
        }
        const fs::path dir = o.at("--out");
        fs::create_directories(dir);
        std::vector<fs::path> files;
        if (command == "content-bomb") {
            const std::string small = "0 g 50 50 495 742 re f\n";
            files.push_back(dir / "bomb.pdf");
            write_file(files.back(),
                       one_page("[4 0 R 5 0 R]",
                                {stream("", small), stream(" /Filter [/FlateDecode /FlateDecode]",
                                                           fixtures::deflated_twice(number(o, "--decoded")))}));
        } else if (command == "raw-streams") {
            const std::uint64_t n = number(o, "--files");
            const std::size_t bytes = static_cast<std::size_t>(number(o, "--file-bytes"));
            const double ratio = std::stod(o.at("--ratio"));
            for (std::uint64_t i = 0; i < n; ++i) {
                files.push_back(dir / ("raw" + std::to_string(i) + ".pdf"));
                write_file(files.back(), one_page("4 0 R", {stream("", mixed_content(i, bytes, ratio))}));
            }
        } else {
            throw std::invalid_argument("unknown command " + command);
        }
        workload::write_zip(o.at("--zip"), files);
        return 0;
    } catch (const std::invalid_argument& e) {
        std::cerr << "make_hostile: " << e.what() << "\n";
        return 2;
    } catch (const std::out_of_range&) {
        std::cerr << "make_hostile: a required option is missing\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "make_hostile: " << e.what() << "\n";
        return 1;
    }
}
