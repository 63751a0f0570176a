// Archive intake: unpacks a waybill archive into a scratch folder and lists its PDFs.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace pdf {

// The name by which two waybill files count as the same waybill: the last path
// component ("\" and "/" both separate), blanks trimmed at both ends, NFKC, then full
// case folding. UTF-8 in and out; never throws for any input bytes.
std::string normalize_waybill_name(std::string_view file_name);

}  // namespace pdf
