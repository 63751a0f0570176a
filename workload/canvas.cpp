#include "workload/canvas.hpp"

#include "pdf/geometry.hpp"

namespace workload::detail {

void Canvas::text(double x, double baseline, FontId font, double size, std::string_view s) {
    if (s.empty()) return;
    for (char32_t c : to_utf32(s)) used_[font].insert(c);
    ops_.emplace_back(TextRun{font, size, x, dims_.height - baseline, std::string(s)});
}

void Canvas::text_right(double right, double baseline, FontId font, double size, std::string_view s) {
    text(right - width(font, size, s), baseline, font, size, s);
}

void Canvas::text_center(double center, double baseline, FontId font, double size, std::string_view s) {
    text(center - width(font, size, s) / 2, baseline, font, size, s);
}

std::vector<std::string> Canvas::wrap(FontId font, double size, std::string_view s, double max_width) const {
    std::vector<std::string> lines;
    std::string line;
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t end = s.find(' ', pos);
        if (end == std::string_view::npos) end = s.size();
        std::string_view word = s.substr(pos, end - pos);
        std::string candidate = line.empty() ? std::string(word) : line + " " + std::string(word);
        if (!line.empty() && width(font, size, candidate) > max_width) {
            lines.push_back(line);
            line = std::string(word);
        } else {
            line = candidate;
        }
        pos = end + 1;
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

double Canvas::paragraph(double x, double top, FontId font, double size, std::string_view s, double max_width,
                         double leading) {
    double y = top;
    for (const std::string& line : wrap(font, size, s, max_width)) {
        y += size * leading;
        text(x, y - size * 0.25, font, size, line);
    }
    return y;
}

void Canvas::rect(double x, double y, double w, double h, double line_width) {
    raw(pdf::format_number(line_width, 2) + " w " + box(x, y, w, h) + " re S\n");
}

void Canvas::fill(double x, double y, double w, double h, double gray) {
    raw(pdf::format_number(gray, 2) + " g " + box(x, y, w, h) + " re f 0 g\n");
}

void Canvas::line(double x1, double y1, double x2, double y2, double line_width) {
    raw(pdf::format_number(line_width, 2) + " w " + pdf::format_number(x1, 2) + " " +
        pdf::format_number(dims_.height - y1, 2) + " m " + pdf::format_number(x2, 2) + " " +
        pdf::format_number(dims_.height - y2, 2) + " l S\n");
}

void Canvas::dashed(double x1, double y, double x2) {
    raw("[2 2] 0 d ");
    line(x1, y, x2, y, 0.5);
    raw("[] 0 d\n");
}

void Canvas::logo(double x, double y, double w, double h) {
    raw("q " + pdf::format_number(w, 2) + " 0 0 " + pdf::format_number(h, 2) + " " + pdf::format_number(x, 2) + " " +
        pdf::format_number(dims_.height - y - h, 2) + " cm /Im1 Do Q\n");
}

void Canvas::barcode(double x, double y, double w, double h, const std::vector<int>& modules) {
    int total = 0;
    for (int m : modules) total += m;
    double unit = w / total;
    std::string path;
    double at = x;
    for (std::size_t i = 0; i < modules.size(); ++i) {
        double bar = modules[i] * unit;
        if (i % 2 == 0) path += box(at, y, bar, h) + " re\n";
        at += bar;
    }
    raw(path + "f\n");
}

std::string Canvas::content(const std::array<const SubsetCmap*, 2>& cmaps) const {
    std::string out;
    for (const auto& op : ops_) {
        if (const auto* s = std::get_if<std::string>(&op)) {
            out += *s;
            continue;
        }
        const auto& run = std::get<TextRun>(op);
        out += "BT /F" + std::to_string(run.font + 1) + " " + pdf::format_number(run.size, 2) + " Tf " +
               pdf::format_number(run.x, 2) + " " + pdf::format_number(run.y, 2) + " Td <";
        static constexpr char HEX[] = "0123456789ABCDEF";
        for (char32_t c : to_utf32(run.text)) {
            unsigned int gid = cmaps[run.font]->glyph(c);
            for (int shift = 12; shift >= 0; shift -= 4) out += HEX[(gid >> shift) & 0xF];
        }
        out += "> Tj ET\n";
    }
    return out;
}

std::string Canvas::box(double x, double y, double w, double h) const {
    return pdf::format_number(x, 2) + " " + pdf::format_number(dims_.height - y - h, 2) + " " +
           pdf::format_number(w, 2) + " " + pdf::format_number(h, 2);
}

}  // namespace workload::detail
