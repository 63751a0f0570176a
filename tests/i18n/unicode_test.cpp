#include "i18n/unicode.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

TEST(NormalizeWaybillName, FoldsCaseCompatibilityFormsFoldersAndBlanks) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Заказ.pdf", "заказ.pdf"},
        {"заказ.PDF", "заказ.pdf"},
        {"C:\\tmp\\ЗАКАЗ.pdf", "заказ.pdf"},
        {"scans/sub/ЗАКАЗ.pdf", "заказ.pdf"},
        {"\xEF\xBC\xBA.pdf", "z.pdf"},              // full-width Z (U+FF3A)
        {"Order \xEF\xBC\x91.pdf", "order 1.pdf"},  // full-width digit one
        {"  Order 1.pdf \t", "order 1.pdf"},
        {"\xE3\x80\x80Order 1.pdf\xC2\xA0", "order 1.pdf"},  // ideographic space, NBSP
        {"Straße.PDF", "strasse.pdf"},
        // Blanks are trimmed before NFKC: the blank that NFKC makes of a diaeresis stays.
        {"\xC2\xA8x.pdf", " \xCC\x88x.pdf"},
        {"", ""},
        {"dir/", ""},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(i18n::normalize_waybill_name(in), want) << in;
}

TEST(NormalizeWaybillName, IllFormedBytesDoNotThrow) {
    EXPECT_EQ(i18n::normalize_waybill_name("\xFF.pdf"), "\xEF\xBF\xBD.pdf");
}

TEST(LastPathComponent, EitherSlashSeparates) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a/b\\c.pdf", "c.pdf"}, {"c.pdf", "c.pdf"}, {"dir/", ""}, {"\\x", "x"}, {"", ""}};
    for (const auto& [in, want] : cases) EXPECT_EQ(i18n::last_path_component(in), want) << in;
}

}  // namespace
