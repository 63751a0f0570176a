// The menu's registry tree, written to an in-memory registry branch.
#include <gtest/gtest.h>

#include "shell/context_menu.hpp"
#include "support/memory_registry.hpp"

using fixtures::MemoryRegistry;

namespace {

const std::string CF = "Software\\Classes\\CompressedFolder\\shell\\MergeTarvo PDF Mergalo";
const std::string ZIP = "Software\\Classes\\SystemFileAssociations\\.zip\\shell\\MergeTarvo PDF Mergalo";

shell::Menu menu(std::string_view lang) {
    return shell::make_menu(lang, "mergalo", "Tarvo PDF Mergalo", "C:\\Apps\\Mergalo.exe",
                            "C:\\Apps\\mgl\\help\\Instruction.html", "C:\\Apps\\mgl\\assets\\mergalo.png");
}

// The writes for one root, in the order and with the data the entry must have.
std::vector<std::string> expected_writes(const std::string& b) {
    const std::string cmd = "\"C:\\Apps\\Mergalo.exe\" \"%1\" ";
    return {
        b + " | MUIVerb = Tarvo PDF Mergalo — объединить накладные",
        b + " | SubCommands = ",
        b + " | Icon = \"C:\\Apps\\Mergalo.exe\"",
        b + "\\shell\\01_1up | MUIVerb = 1 на лист (обычно)",
        b + "\\shell\\01_1up\\command | (default) = " + cmd + "1",
        b + "\\shell\\02_4up | MUIVerb = 4 на лист (2x2)",
        b + "\\shell\\02_4up\\command | (default) = " + cmd + "4",
        b + "\\shell\\03_6up | MUIVerb = 6 на лист (2x3)",
        b + "\\shell\\03_6up\\command | (default) = " + cmd + "6",
        b + "\\shell\\04_9up | MUIVerb = 9 на лист (3x3)",
        b + "\\shell\\04_9up\\command | (default) = " + cmd + "9",
        b + "\\shell\\05_help | MUIVerb = Инструкция Tarvo PDF Mergalo",
        b + "\\shell\\05_help\\command | (default) = explorer.exe \"C:\\Apps\\mgl\\help\\Instruction.html\"",
    };
}

const std::vector<std::string> SUBKEYS = {"01_1up", "02_4up", "03_6up", "04_9up", "05_help"};

}  // namespace

TEST(RegistryMenu, WritesTheTreeUnderBothRootsInTableOrder) {
    MemoryRegistry reg;
    shell::write_registry_menu(reg, menu("ru"));

    auto want = expected_writes(CF);
    auto second = expected_writes(ZIP);
    want.insert(want.end(), second.begin(), second.end());
    EXPECT_EQ(reg.writes, want);
    for (const auto& b : {CF, ZIP}) {
        EXPECT_EQ(reg.subkeys(b), std::vector<std::string>{"shell"}) << b;
        EXPECT_EQ(reg.subkeys(b + "\\shell"), SUBKEYS) << b;
        EXPECT_EQ(reg.find(b)->values.size(), 3u) << "only MUIVerb, SubCommands and Icon on " << b;
    }
}

TEST(RegistryMenu, KazakhLabelsFollowTheLanguage) {
    MemoryRegistry reg;
    shell::write_registry_menu(reg, menu("kk"));
    EXPECT_EQ(reg.find(CF)->values.at("MUIVerb"), "Tarvo PDF Mergalo — жүкқұжаттарды біріктіру");
    EXPECT_EQ(reg.find(ZIP + "\\shell\\02_4up")->values.at("MUIVerb"), "Параққа 4 (2x2)");
    EXPECT_EQ(reg.find(ZIP + "\\shell\\05_help")->values.at("MUIVerb"), "Tarvo PDF Mergalo нұсқаулығы");
}

TEST(RegistryMenu, InstallingAgainReplacesTheEntryAndDropsLeftovers) {
    MemoryRegistry reg;
    shell::write_registry_menu(reg, menu("kk"));
    // An earlier version's extra layout, with its command, and a stray value.
    reg.set_string(CF + "\\shell\\05_12up", "MUIVerb", "12 на лист");
    reg.set_string(CF + "\\shell\\05_12up\\command", "", "\"C:\\Old\\Mergalo.exe\" \"%1\" 12");
    reg.set_string(CF, "Position", "Top");

    shell::write_registry_menu(reg, menu("ru"));
    for (const auto& b : {CF, ZIP}) {
        EXPECT_EQ(reg.subkeys(b + "\\shell"), SUBKEYS) << b;
        EXPECT_EQ(reg.find(b)->values.count("Position"), 0u);
        EXPECT_EQ(reg.find(b)->values.at("MUIVerb"), "Tarvo PDF Mergalo — объединить накладные");
    }
}

TEST(RegistryMenu, RemovingDeletesBothEntriesAndNothingElse) {
    MemoryRegistry reg;
    reg.set_string("Software\\Classes\\CompressedFolder\\shell\\open\\command", "", "explorer.exe %1");
    shell::write_registry_menu(reg, menu("ru"));
    shell::remove_registry_menu(reg);
    EXPECT_EQ(reg.find(CF), nullptr);
    EXPECT_EQ(reg.find(ZIP), nullptr);
    EXPECT_EQ(reg.subkeys("Software\\Classes\\CompressedFolder\\shell"), std::vector<std::string>{"open"});

    const auto writes = reg.writes.size();
    EXPECT_NO_THROW(shell::remove_registry_menu(reg)) << "removing a missing entry is no error";
    EXPECT_EQ(reg.writes.size(), writes);
}

TEST(RegistryMenu, DeletingATreeWithAKeyThatCannotGoEnds) {
    MemoryRegistry reg;
    shell::write_registry_menu(reg, menu("ru"));
    // A grandchild that refuses deletion keeps its parent 02_4up, which then comes back
    // at index 0 after 01_1up is gone.
    reg.undeletable.insert(CF + "\\shell\\02_4up\\command");
    shell::detail::delete_reg_tree(reg, CF);

    EXPECT_LT(reg.enumerations, 40) << "the deletion kept asking for a child it cannot delete";
    EXPECT_EQ(reg.subkeys(CF + "\\shell"), (std::vector<std::string>{"02_4up", "03_6up", "04_9up", "05_help"}));
    EXPECT_NE(reg.find(CF + "\\shell\\02_4up\\command"), nullptr);

    shell::detail::delete_reg_tree(reg, ZIP);
    EXPECT_EQ(reg.find(ZIP), nullptr) << "the other tree is deleted whole";
    EXPECT_NO_THROW(shell::detail::delete_reg_tree(reg, ZIP + "\\missing"));
}

TEST(RegistryMenu, AFailedWriteEndsTheInstallWithTheRegistryError) {
    MemoryRegistry reg;
    reg.fail_from_write = 13;  // the first write under the second root
    EXPECT_THROW(shell::write_registry_menu(reg, menu("ru")), platform::RegistryError);
    EXPECT_EQ(reg.subkeys(CF + "\\shell"), SUBKEYS) << "the first root is already written";
    EXPECT_EQ(reg.find(ZIP), nullptr);
}

TEST(RegistryMenu, Commands) {
    EXPECT_EQ(shell::layout_command("C:\\Program Files\\Mergalo\\Mergalo.exe", 6),
              "\"C:\\Program Files\\Mergalo\\Mergalo.exe\" \"%1\" 6");
    EXPECT_EQ(shell::help_menu_command("C:\\Апп\\mgl\\help\\Instruction_kk.html"),
              "explorer.exe \"C:\\Апп\\mgl\\help\\Instruction_kk.html\"");
}
