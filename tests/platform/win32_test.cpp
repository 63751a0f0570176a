// The Windows half of the platform layer. Cross-built by scripts/windows-build and run
// under Wine by scripts/windows-check (build-win/win32_test.exe); not part of CTest.
#include <windows.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/native.hpp"
#include "platform/platform.hpp"
#include "platform/scratch_file.hpp"
#include "platform/staged_file.hpp"

namespace fs = std::filesystem;

namespace {

// A fresh folder under %TEMP%, removed afterwards.
class TempFolder {
public:
    TempFolder() : path_(platform::make_private_dir(platform::temp_dir(), "mergalo_test_")) {}
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Names as they come from archives and folders of Kazakh and Russian users.
const char* const NAMES[] = {
    "Накладная №12 Алматы.pdf",
    "Жүк құжаты — Өскемен, ғ ң ұ ү һ і ә ө.pdf",
    "Ёлка и ёж (копия).zip",
};

}  // namespace

TEST(Win32, Utf8PathsSurviveTheRoundTripAndReachTheDisk) {
    TempFolder dir;
    for (const char* name : NAMES) {
        const fs::path p = dir.path() / platform::path_from_utf8(name);
        EXPECT_EQ(platform::utf8(p.filename()), name);
        std::ofstream(p, std::ios::binary) << name;
    }
    // The names on disk, as the system lists them, are the same letters.
    std::vector<std::string> listed;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((dir.path() / L"*").c_str(), &found);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") listed.push_back(platform::utf8(fs::path(name)));
    } while (FindNextFileW(h, &found));
    FindClose(h);
    std::sort(listed.begin(), listed.end());
    std::vector<std::string> expected(std::begin(NAMES), std::end(NAMES));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
}

TEST(Win32, EnvironmentKeepsKazakhLettersForTheCRuntimeToo) {
    const std::string value = "C:\\Users\\Әлия Құрманғали\\Тарво\\mgl\\tcl";
    platform::set_env("MERGALO_TEST_LIBRARY", value);
    EXPECT_EQ(platform::get_env("MERGALO_TEST_LIBRARY"), value);
    // Tcl reads its library folder through the C runtime's wide environment.
    const wchar_t* seen = _wgetenv(L"MERGALO_TEST_LIBRARY");
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(platform::utf8(fs::path(seen)), value);

    EXPECT_EQ(platform::get_env("MERGALO_TEST_NEVER_SET"), std::nullopt);
}

TEST(Win32, ExtendedLengthPathOnlyForLongAbsolutePaths) {
    const std::wstring deep = std::wstring(L"\\") + std::wstring(250, L'д');
    struct Case {
        std::wstring in;
        std::wstring out;
    };
    const Case cases[] = {
        {L"C:\\Users\\u\\AppData\\Local\\Temp\\a.pdf", L"C:\\Users\\u\\AppData\\Local\\Temp\\a.pdf"},
        {L"C:\\t" + deep, L"\\\\?\\C:\\t" + deep},
        {L"C:/t/./x/.." + deep, L"\\\\?\\C:\\t" + deep},
        {L"\\\\server\\share" + deep, L"\\\\?\\UNC\\server\\share" + deep},
        {L"\\\\?\\C:\\t" + deep, L"\\\\?\\C:\\t" + deep},
        {L"relative" + deep, L"relative" + deep},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::extended_length_path(fs::path(c.in)).native(), c.out)
            << platform::utf8(fs::path(c.in)).substr(0, 40);
}

TEST(Win32, FilesPastMaxPathAreWrittenRenamedAndRead) {
    TempFolder dir;
    // Nested folders as an archive's members make them, well past 260 characters.
    fs::path folder = dir.path();
    for (int i = 0; i < 8; ++i) {
        folder /= platform::path_from_utf8("Папка накладных с длинным названием " + std::to_string(i));
        ASSERT_TRUE(CreateDirectoryW(platform::extended_length_path(folder).c_str(), nullptr))
            << platform::last_system_error().message();
    }
    const fs::path target = folder / platform::path_from_utf8("история.csv");
    ASSERT_GT(target.native().size(), 300u);

    platform::write_file_atomically(target, "первая версия");
    platform::write_file_atomically(target, "вторая версия");
    EXPECT_EQ(read_all(platform::extended_length_path(target)), "вторая версия");

    const fs::path reserved = platform::reserve_sibling(target, ".tmp");
    EXPECT_EQ(reserved.parent_path(), target.parent_path());
    std::ofstream(platform::extended_length_path(reserved), std::ios::binary) << "новое";
    const fs::path moved = folder / platform::path_from_utf8("новое.pdf");
    platform::rename_no_replace(reserved, moved);
    EXPECT_EQ(read_all(platform::extended_length_path(moved)), "новое");
}

TEST(Win32, RenameNeverReplacesAndSaysSoInTheSystemsWords) {
    TempFolder dir;
    const fs::path from = dir.path() / L"from.pdf";
    const fs::path to = dir.path() / platform::path_from_utf8("Накладные.pdf");
    std::ofstream(from, std::ios::binary) << "new";
    std::ofstream(to, std::ios::binary) << "old";
    try {
        platform::rename_no_replace(from, to);
        FAIL() << "an existing file was replaced";
    } catch (const fs::filesystem_error& e) {
        EXPECT_EQ(e.code(), std::errc::file_exists);
        EXPECT_FALSE(e.code().message().empty());
        EXPECT_EQ(e.code().message().find("Windows error"), std::string::npos) << e.code().message();
    }
    EXPECT_EQ(read_all(to), "old");
}

TEST(Win32, LastErrorCarriesTheSystemTextAndThePortableCondition) {
    struct Case {
        DWORD code;
        std::errc condition;
    };
    const Case cases[] = {
        {ERROR_FILE_NOT_FOUND, std::errc::no_such_file_or_directory},
        {ERROR_PATH_NOT_FOUND, std::errc::no_such_file_or_directory},
        {ERROR_ACCESS_DENIED, std::errc::permission_denied},
        {ERROR_ALREADY_EXISTS, std::errc::file_exists},
        {ERROR_DISK_FULL, std::errc::no_space_on_device},
    };
    for (const Case& c : cases) {
        SetLastError(c.code);
        const std::error_code ec = platform::last_system_error();
        EXPECT_EQ(ec.value(), static_cast<int>(c.code));
        EXPECT_EQ(ec, c.condition) << c.code;
        EXPECT_FALSE(ec.message().empty());
        EXPECT_NE(ec.message().back(), '\n');
    }
}

// The heap MuPDF's memory comes from: a block holds what was asked, keeps its bytes
// when it grows or shrinks, and says its size to the memory budget.
TEST(Win32, HeapBlocksHoldTheirBytesThroughReallocation) {
    for (std::size_t size : {std::size_t{1}, std::size_t{100}, std::size_t{256} << 10, std::size_t{8} << 20}) {
        SCOPED_TRACE(size);
        auto* p = static_cast<unsigned char*>(platform::heap_allocate(size));
        ASSERT_NE(p, nullptr);
        EXPECT_GE(platform::heap_block_size(p), size);
        for (std::size_t i = 0; i < size; ++i) p[i] = static_cast<unsigned char>(i * 7);
        for (std::size_t new_size : {size * 3, size / 2 + 1}) {
            p = static_cast<unsigned char*>(platform::heap_reallocate(p, new_size));
            ASSERT_NE(p, nullptr);
            EXPECT_GE(platform::heap_block_size(p), new_size);
            const std::size_t kept = std::min(size, new_size);
            std::size_t wrong = 0;
            for (std::size_t i = 0; i < kept; ++i) wrong += p[i] != static_cast<unsigned char>(i * 7);
            EXPECT_EQ(wrong, 0u) << new_size;
            size = kept;
        }
        platform::heap_release(p);
    }
    platform::heap_release(nullptr);  // as free(): nothing to do
}

// One level at a time past MAX_PATH, as the intake makes a member's folders.
TEST(Win32, CreateFolderPastMaxPath) {
    TempFolder dir;
    fs::path deep = dir.path();
    for (int i = 0; i < 8; ++i) {
        deep /= platform::path_from_utf8("Папка накладных с длинным названием " + std::to_string(i));
        platform::create_folder(deep);
    }
    ASSERT_GT(deep.native().size(), 260u);
    EXPECT_NO_THROW(platform::create_folder(deep));  // already there
    EXPECT_THROW(platform::create_folder(deep / L"missing" / L"x"), fs::filesystem_error);
    const fs::path file = deep / L"file.pdf";
    std::ofstream(platform::extended_length_path(file), std::ios::binary) << "%PDF";
    EXPECT_THROW(platform::create_folder(file), fs::filesystem_error);
    EXPECT_TRUE(platform::remove_tree(dir.path() / platform::path_from_utf8("Папка накладных с длинным названием 0")));
}

TEST(Win32, FoldersComeFromTheEnvironmentThenTheSystem) {
    const auto saved = platform::get_env("LOCALAPPDATA");
    platform::set_env("LOCALAPPDATA", "  C:\\Users\\Әлия\\AppData\\Local  ");
    EXPECT_EQ(platform::utf8(platform::local_app_data_dir()), "C:\\Users\\Әлия\\AppData\\Local");
    platform::set_env("LOCALAPPDATA", "   ");
    const fs::path known = platform::local_app_data_dir();
    EXPECT_TRUE(known.is_absolute()) << platform::utf8(known);
    if (saved) platform::set_env("LOCALAPPDATA", *saved);

    EXPECT_TRUE(platform::temp_dir().is_absolute());
    EXPECT_EQ(platform::executable_path().extension(), ".exe");
    EXPECT_EQ(platform::executable_file_name("Mergalo"), "Mergalo.exe");
}

// What a merge does with an archive of deeply nested folders: the scratch tree is made,
// listed and removed past MAX_PATH, where the C runtime's own calls stop.
TEST(Win32, ScratchTreePastMaxPathIsMadeListedAndRemoved) {
    TempFolder dir;
    fs::path deep = dir.path();
    for (int i = 0; i < 8; ++i)
        deep /= platform::path_from_utf8("Папка накладных с длинным названием " + std::to_string(i));
    platform::create_folders(deep);
    platform::create_folders(deep);  // already there
    const fs::path file = deep / platform::path_from_utf8("накладная.pdf");
    ASSERT_GT(file.native().size(), 300u);
    std::ofstream(platform::extended_length_path(file), std::ios::binary) << "%PDF";

    const auto listed = platform::list_folder(deep);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].path, file);
    EXPECT_EQ(listed[0].type, fs::file_type::regular);
    EXPECT_EQ(platform::list_folder(deep.parent_path())[0].type, fs::file_type::directory);
    EXPECT_THROW(platform::list_folder(deep / L"missing"), fs::filesystem_error);

    const fs::path top = dir.path() / platform::path_from_utf8("Папка накладных с длинным названием 0");
    EXPECT_TRUE(platform::remove_tree(top));
    EXPECT_EQ(GetFileAttributesW(platform::extended_length_path(top).c_str()), INVALID_FILE_ATTRIBUTES);
}

// A member unpacked read-only, and one writable beside it: both go with the scratch tree.
TEST(Win32, ScratchTreeWithAReadOnlyFileIsRemoved) {
    TempFolder dir;
    const fs::path top = dir.path() / L"scratch";
    platform::create_folders(top / L"sub");
    for (const wchar_t* name : {L"sub\\readonly.pdf", L"writable.pdf"})
        std::ofstream(top / name, std::ios::binary) << "%PDF";
    ASSERT_TRUE(SetFileAttributesW((top / L"sub\\readonly.pdf").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(platform::remove_tree(top));
    EXPECT_EQ(GetFileAttributesW(top.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Win32, AFileHeldOpenByAnotherProgramIsBusyNotDenied) {
    // Excel keeps a CSV file open for reading and writing, sharing reading at most.
    TempFolder dir;
    const fs::path history = dir.path() / L"waybill_history.csv";
    std::ofstream(history, std::ios::binary) << "old";
    struct Case {
        const char* what;
        DWORD share;
    };
    for (const Case c : {Case{"shares reading", FILE_SHARE_READ}, Case{"shares nothing", 0}}) {
        HANDLE excel = CreateFileW(history.c_str(), GENERIC_READ | GENERIC_WRITE, c.share, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(excel, INVALID_HANDLE_VALUE);
        try {
            platform::write_file_atomically(history, "new");
            ADD_FAILURE() << c.what << ": the file was replaced";
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.code(), std::errc::device_or_resource_busy) << c.what << ": " << e.code().message();
        }
        EXPECT_EQ(platform::tell_busy_from_denied(history, std::make_error_code(std::errc::permission_denied)),
                  std::errc::device_or_resource_busy)
            << c.what;
        // Reading it (as a job opens its archive) is refused as busy only when nothing is shared.
        std::error_code reading;
        try {
            platform::FileReader reader(history);
        } catch (const fs::filesystem_error& e) {
            reading = e.code();
        }
        EXPECT_EQ(reading == std::errc::device_or_resource_busy, c.share == 0) << c.what << ": " << reading.message();
        EXPECT_EQ(!reading, c.share != 0) << c.what << ": " << reading.message();
        CloseHandle(excel);
    }
    // Closed again: nothing is busy, and a real access problem stays one.
    EXPECT_EQ(platform::tell_busy_from_denied(history, std::make_error_code(std::errc::permission_denied)),
              std::errc::permission_denied);
    platform::write_file_atomically(history, "new");
    EXPECT_EQ(read_all(history), "new");
}

// A job's unpacked files go with its process even when it is killed: the system closes
// the handles, and each file was made to be deleted then. The child is this program,
// asked through the environment to leave one such file open and kill itself.
TEST(Win32, ScratchFilesOfAKilledProcessAreGone) {
    if (const auto leave = platform::get_env("MERGALO_TEST_KILLED_SCRATCH"); leave && !leave->empty()) {
        platform::ScratchFile file(platform::path_from_utf8(*leave), platform::ScratchFile::Lifetime::object);
        file.write("%PDF");
        file.finish();
        TerminateProcess(GetCurrentProcess(), 9);
    }
    TempFolder dir;
    const fs::path left = dir.path() / L"Накладная.pdf";
    platform::set_env("MERGALO_TEST_KILLED_SCRATCH", platform::utf8(left));
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    std::wstring command = L"\"" + self + L"\" --gtest_filter=Win32.ScratchFilesOfAKilledProcessAreGone";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(
        CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
    WaitForSingleObject(child.hProcess, 30000);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    platform::set_env("MERGALO_TEST_KILLED_SCRATCH", "");
    EXPECT_EQ(code, 9u);
    EXPECT_EQ(GetFileAttributesW(left.c_str()), INVALID_FILE_ATTRIBUTES) << "the killed process's file is still there";
}
