// Geometry as fixed-precision text, so that tables of expected rectangles and matrices
// read as numbers and a mismatch prints both sides ("got ..., wanted ...").
#pragma once

#include <string>

#include "pdf/geometry.hpp"

namespace fixtures {

// Four decimals, trailing zeros dropped ("12", "294.1378"); -0 shows as 0.
inline std::string fmt4(double v) {
    std::string s = pdf::format_number(v + 0.0, 4);
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s == "-0" ? "0" : s;
}

// "x0 y0 x1 y1".
inline std::string show(const pdf::Rect& r) {
    return fmt4(r.x0) + " " + fmt4(r.y0) + " " + fmt4(r.x1) + " " + fmt4(r.y1);
}

// "a b c d e f".
inline std::string show(const pdf::Matrix& m) {
    return fmt4(m.a) + " " + fmt4(m.b) + " " + fmt4(m.c) + " " + fmt4(m.d) + " " + fmt4(m.e) + " " + fmt4(m.f);
}

}  // namespace fixtures
