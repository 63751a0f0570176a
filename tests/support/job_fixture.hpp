// A merge job's surroundings for a test: a temporary root holding a folder of archives
// (with a Cyrillic name, as a user's folder has), the program's folders, and what a
// test asks of them: archives of one-page waybills written there, the waybills the
// history holds, a job's failure message.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "job/result.hpp"
#include "support/temp_dir.hpp"
#include "support/zip_fixtures.hpp"

namespace fixtures {

// One-page waybills "<label>.pdf", each page showing its label.
std::vector<ZipMember> waybills(const std::vector<std::string>& labels);
// The same for the labels prefix1 ... prefixN.
std::vector<ZipMember> waybills(const std::string& prefix, int n);

// A one-page waybill cut short by a failed download: its page and its content are
// there, its cross-reference table is not. MuPDF repairs it, and the page reads in full.
std::string cut_waybill();

class JobFixture : public ::testing::Test {
protected:
    TempDir root;
    std::filesystem::path archives = root / "Заказы";
    job::JobEnvironment env{root / "app", root / "data", root / "tmp", "Tarvo PDF Mergalo"};

    // Creates the archives' folder and the program's folders.
    void SetUp() override;

    // Writes `members` as the archive `name` (UTF-8) in the archives' folder.
    std::filesystem::path archive(const std::string& name, const std::vector<ZipMember>& members) const;

    // How many waybills the history holds (none without a history file).
    std::size_t recorded() const;
    // The message of a failed job on `zip`, or "ok".
    std::string failure(const std::filesystem::path& zip, int nup) const;
    // Whether a job left anything in the temporary folder.
    bool scratch_left() const;
};

}  // namespace fixtures
