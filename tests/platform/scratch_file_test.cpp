// Scratch files and file readers, the same on both systems (built into platform_test
// here and into win32_test.exe for Wine).
#include "platform/scratch_file.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/platform.hpp"

namespace {

namespace fs = std::filesystem;
using platform::FileReader;
using platform::ScratchFile;

class ScratchFileTest : public ::testing::Test {
protected:
    fs::path dir = platform::make_private_dir(platform::temp_dir(), "mergalo_scratch_test_");
    void TearDown() override { platform::remove_tree(dir); }

    static std::string read_at(const FileReader& reader, std::uint64_t offset, std::size_t n) {
        std::string out(n, '\0');
        std::error_code ec;
        out.resize(reader.read_at(offset, out, ec));
        EXPECT_FALSE(ec) << ec.message();
        return out;
    }
};

TEST_F(ScratchFileTest, ReadsBackWhatWasWrittenFromAnyOffset) {
    ScratchFile file(dir / "a.pdf", ScratchFile::Lifetime::object);
    file.write("01234");
    file.write("56789");
    file.finish();
    const FileReader reader = file.reader();
    EXPECT_EQ(reader.size(), 10u);
    // Out of order, as a PDF reader seeks: the trailer first, then objects.
    EXPECT_EQ(read_at(reader, 6, 10), "6789");
    EXPECT_EQ(read_at(reader, 0, 3), "012");
    EXPECT_EQ(read_at(reader, 3, 4), "3456");
    EXPECT_EQ(read_at(reader, 10, 4), "");
    EXPECT_EQ(read_at(FileReader(dir / "a.pdf"), 2, 2), "23");  // others may open it too
}

TEST_F(ScratchFileTest, AFileGoesWithItsObjectOrStaysWithItsFolder) {
    for (const auto lifetime : {ScratchFile::Lifetime::object, ScratchFile::Lifetime::folder}) {
        const bool stays = lifetime == ScratchFile::Lifetime::folder;
        SCOPED_TRACE(stays ? "folder" : "object");
        const fs::path path = dir / (stays ? "stays.pdf" : "goes.pdf");
        {
            ScratchFile file(path, lifetime);
            file.write("%PDF");
            file.finish();
            ScratchFile moved(std::move(file));  // as a growing list moves it
            EXPECT_TRUE(fs::exists(path));
        }
        EXPECT_EQ(fs::exists(path), stays);
    }
    std::ifstream in(dir / "stays.pdf", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "%PDF");
}

TEST_F(ScratchFileTest, NeverTakesAnExistingFileAndReadersSayWhatIsMissing) {
    std::ofstream(dir / "taken.pdf") << "keep";
    try {
        ScratchFile file(dir / "taken.pdf", ScratchFile::Lifetime::object);
        ADD_FAILURE() << "an existing file was taken";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::errc::file_exists) << e.what();
    }
    EXPECT_EQ(fs::file_size(dir / "taken.pdf"), 4u);

    try {
        FileReader reader(dir / "missing.pdf");
        ADD_FAILURE() << "a missing file was opened";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory) << e.what();
    }
    EXPECT_THROW(FileReader{dir}, fs::filesystem_error);
}

}  // namespace
