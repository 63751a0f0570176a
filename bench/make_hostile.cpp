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
//
// DIR receives the PDF files; the same arguments give the same bytes. Exit code 0 on
// success, 2 on bad arguments, 1 on any other failure.
#include <zlib.h>

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

#include "support/waybill.hpp"

namespace {

namespace fs = std::filesystem;

// A PDF of the given objects, numbered from 1; object 1 is the catalog.
std::string raw_pdf(const std::vector<std::string>& objects) {
    std::string out = "%PDF-1.7\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(out.size());
        out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = out.size();
    out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t off : offsets) {
        char line[32];
        std::snprintf(line, sizeof line, "%010zu 00000 n \n", off);
        out += line;
    }
    out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return out;
}

std::string stream(const std::string& dict, const std::string& bytes) {
    return "<<" + dict + " /Length " + std::to_string(bytes.size()) + ">>\nstream\n" + bytes + "\nendstream";
}

std::string one_page(const std::string& contents, const std::vector<std::string>& streams) {
    std::vector<std::string> objects{"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
                                     "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents " + contents + " >>"};
    objects.insert(objects.end(), streams.begin(), streams.end());
    return raw_pdf(objects);
}

// Deflates what `next` yields until it yields nothing.
template <class Next>
std::string deflate_all(Next next) {
    z_stream z{};
    if (deflateInit(&z, Z_BEST_COMPRESSION) != Z_OK) throw std::runtime_error("deflateInit failed");
    std::string out;
    std::vector<unsigned char> buf(1 << 16);
    for (bool last = false; !last;) {
        const std::string_view in = next();
        last = in.empty();
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z.avail_in = static_cast<uInt>(in.size());
        int err = Z_OK;
        do {
            z.next_out = buf.data();
            z.avail_out = static_cast<uInt>(buf.size());
            err = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            out.append(reinterpret_cast<char*>(buf.data()), buf.size() - z.avail_out);
        } while (z.avail_out == 0 || (last && err != Z_STREAM_END));
    }
    deflateEnd(&z);
    return out;
}

std::string deflated_twice(std::uint64_t n) {
    const std::string zeros(1 << 20, '0');
    std::uint64_t left = n;
    const std::string once = deflate_all([&]() -> std::string_view {
        const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(left, zeros.size()));
        left -= k;
        return std::string_view(zeros).substr(0, k);
    });
    bool given = false;
    return deflate_all([&]() -> std::string_view {
        if (given) return {};
        given = true;
        return once;
    });
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

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc < 2) throw std::invalid_argument("no command");
        const std::string command = argv[1];
        const auto o = parse(argc, argv);
        const fs::path dir = o.at("--out");
        fs::create_directories(dir);
        std::vector<fs::path> files;
        if (command == "content-bomb") {
            const std::string small = "0 g 50 50 495 742 re f\n";
            files.push_back(dir / "bomb.pdf");
            write_file(files.back(), one_page("[4 0 R 5 0 R]", {stream("", small), stream(" /Filter [/FlateDecode /FlateDecode]",
                                                                               deflated_twice(number(o, "--decoded")))}));
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
        fixtures::write_zip(o.at("--zip"), files);
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
