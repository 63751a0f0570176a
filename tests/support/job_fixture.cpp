#include "support/job_fixture.hpp"

#include <exception>

#include "history/store.hpp"
#include "job/job.hpp"
#include "platform/platform.hpp"
#include "support/pdf_fixtures.hpp"
#include "support/raw_pdf.hpp"

namespace fixtures {

namespace fs = std::filesystem;

std::vector<ZipMember> waybills(const std::vector<std::string>& labels) {
    std::vector<ZipMember> members;
    for (const std::string& label : labels) members.push_back({label + ".pdf", pdf_bytes({{.label = label}})});
    return members;
}

std::vector<ZipMember> waybills(const std::string& prefix, int n) {
    std::vector<std::string> labels;
    for (int i = 1; i <= n; ++i) labels.push_back(prefix + std::to_string(i));
    return waybills(labels);
}

std::string cut_waybill() {
    const std::string whole =
        raw_pdf({{" /Type /Catalog /Pages 2 0 R"},
                 {" /Type /Pages /Kids [3 0 R] /Count 1"},
                 {" /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R"},
                 {"", "0 g 50 50 495 742 re f\n0 g 50 50 495 742 re f\n0 g 50 50 495 742 re f\n"}});
    return whole.substr(0, whole.find("xref"));
}

void JobFixture::SetUp() {
    for (const fs::path& d : {archives, env.history_dir, env.data_dir, env.temp_root}) fs::create_directories(d);
}

fs::path JobFixture::archive(const std::string& name, const std::vector<ZipMember>& members) const {
    const fs::path zip = archives / platform::path_from_utf8(name);
    write_zip(zip, members);
    return zip;
}

std::size_t JobFixture::recorded() const {
    if (!fs::exists(history::history_csv_path(env.history_dir))) return 0;
    return history::load_history(env.history_dir).history.size();
}

std::string JobFixture::failure(const fs::path& zip, int nup) const {
    try {
        job::process_zip(zip, nup, env);
        return "ok";
    } catch (const std::exception& e) {
        return e.what();
    }
}

bool JobFixture::scratch_left() const { return !fs::is_empty(env.temp_root); }

}  // namespace fixtures
