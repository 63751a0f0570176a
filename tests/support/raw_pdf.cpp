#include "support/raw_pdf.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string_view>

namespace fixtures {

std::string raw_pdf(const std::vector<RawObject>& objects) {
    std::string out = "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n";
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const RawObject& o = objects[i];
        offsets.push_back(out.size());
        out += std::to_string(i + 1) + " 0 obj\n";
        if (o.bare) {
            out += o.dict;
        } else if (o.stream) {
            out += "<<" + o.dict + " /Length " + std::to_string(o.stream->size()) + ">>\nstream\n";
            out += *o.stream;
            out += "\nendstream";
        } else {
            out += "<<" + o.dict + ">>";
        }
        out += "\nendobj\n";
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

namespace {

// Deflates what `next` yields, piece by piece, until it yields nothing.
template <class Next>
std::string deflate_all(Next next) {
    z_stream z{};
    if (deflateInit(&z, Z_BEST_COMPRESSION) != Z_OK) throw std::runtime_error("deflateInit failed");
    std::string out;
    unsigned char buf[64 * 1024];
    for (bool last = false; !last;) {
        std::string_view in = next();
        last = in.empty();
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z.avail_in = static_cast<uInt>(in.size());
        int err;
        do {
            z.next_out = buf;
            z.avail_out = sizeof buf;
            err = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
            out.append(reinterpret_cast<char*>(buf), sizeof buf - z.avail_out);
        } while (z.avail_out == 0 || (last && err != Z_STREAM_END));
    }
    deflateEnd(&z);
    return out;
}

}  // namespace

std::string deflated_twice(std::size_t n) {
    const std::string zeros(1 << 20, '0');
    std::size_t left = n;
    const std::string once = deflate_all([&]() -> std::string_view {
        const std::size_t k = std::min(left, zeros.size());
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

}  // namespace fixtures
