// `cmake --install` into a fresh prefix: the programs, the desktop entry and its icon, the
// manual pages and the udev rule land where a Linux desktop looks for them, and the manual
// pages keep up with the programs' own --help.

#include "child_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include <unistd.h>

namespace qn480::testing {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The program on the PATH, or nothing.
std::string onPath(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const fs::path candidate = fs::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    }
    return {};
}

// "--name" words: two hyphens, a lower-case letter, then letters and hyphens.
std::set<std::string> optionsIn(const std::string &text)
{
    std::set<std::string> options;
    for (std::size_t at = text.find("--"); at != std::string::npos; at = text.find("--", at + 2)) {
        std::size_t end = at + 2;
        if (end >= text.size() || text[end] < 'a' || text[end] > 'z')
            continue;
        while (end < text.size() && ((text[end] >= 'a' && text[end] <= 'z') || text[end] == '-'))
            ++end;
        options.insert(text.substr(at, end - at));
    }
    return options;
}

class InstallTree : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_prefix = fs::temp_directory_path() / ("qn480-install-" + std::to_string(getpid()));
        fs::remove_all(s_prefix);
        s_install = runToEnd(QN480_CMAKE_COMMAND,
                             {"--install", QN480_BUILD_DIR, "--prefix", s_prefix.string()});
    }
    static void TearDownTestSuite() { fs::remove_all(s_prefix); }

    void SetUp() override { ASSERT_EQ(s_install.code, 0) << s_install.out << s_install.err; }

    static inline fs::path s_prefix;
    static inline Finished s_install;
};

TEST_F(InstallTree, HoldsTheProgramsTheDesktopEntryTheIconTheManualsAndTheRule)
{
    for (const char *program : {"qn480-tool", "qn480ctl", "qn480-sim"}) {
        const fs::path path = s_prefix / "bin" / program;
        EXPECT_TRUE(fs::is_regular_file(path)) << path;
        EXPECT_EQ(::access(path.c_str(), X_OK), 0) << path;
    }
    for (const char *file :
         {"share/applications/qn480-tool.desktop",
          "share/icons/hicolor/scalable/apps/qn480-tool.svg", "share/man/man1/qn480-tool.1",
          "share/man/man1/qn480ctl.1", "share/man/man1/qn480-sim.1",
          "share/qn480/udev/70-qn480-reader.rules", "share/bash-completion/completions/qn480ctl"}) {
        EXPECT_TRUE(fs::is_regular_file(s_prefix / file)) << file;
    }
}

TEST_F(InstallTree, TheDesktopEntryStartsTheToolWithItsIcon)
{
    const fs::path entry = s_prefix / "share/applications/qn480-tool.desktop";
    const std::string text = readFile(entry);
    EXPECT_NE(text.find("\nExec=qn480-tool\n"), std::string::npos);
    EXPECT_NE(text.find("\nIcon=qn480-tool\n"), std::string::npos);
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);

    const std::string icon =
        readFile(s_prefix / "share/icons/hicolor/scalable/apps/qn480-tool.svg");
    EXPECT_NE(icon.find("<svg"), std::string::npos);

    const std::string validator = onPath("desktop-file-validate");
    if (validator.empty())
        GTEST_SKIP() << "desktop-file-validate is not installed (Debian: desktop-file-utils)";
    const Finished check = runToEnd(validator, {entry.string()});
    EXPECT_EQ(check.code, 0) << check.out << check.err;
    EXPECT_EQ(check.out + check.err, "");
}

TEST_F(InstallTree, TheInstalledProgramsRun)
{
    const Finished ctl = runToEnd((s_prefix / "bin/qn480ctl").string(), {"--help"});
    EXPECT_EQ(ctl.code, 0);
    const Finished sim = runToEnd((s_prefix / "bin/qn480-sim").string(), {"--help"});
    EXPECT_EQ(sim.code, 0);
}

TEST_F(InstallTree, TheUdevRuleKeepsModemManagerAway)
{
    const std::string rule = readFile(s_prefix / "share/qn480/udev/70-qn480-reader.rules");
    EXPECT_NE(rule.find("ENV{ID_MM_DEVICE_IGNORE}=\"1\""), std::string::npos);
    EXPECT_NE(rule.find("SUBSYSTEM==\"tty\""), std::string::npos);
}

// Every option a program's --help names is in its manual page.
TEST_F(InstallTree, TheManualPagesNameEveryOptionOfTheirProgram)
{
    // qn480-tool has two options only; the others many.
    const std::pair<const char *, std::size_t> programs[] = {
        {"qn480-tool", 2}, {"qn480ctl", 5}, {"qn480-sim", 5}};
    for (const auto &[program, fewestOptions] : programs) {
        SCOPED_TRACE(program);
        const Finished help = runToEnd((s_prefix / "bin" / program).string(), {"--help"});
        const fs::path page = s_prefix / "share/man/man1" / (std::string(program) + ".1");
        // roff writes a hyphen in an option as \-.
        std::string manual = readFile(page);
        for (std::size_t at; (at = manual.find("\\-")) != std::string::npos;)
            manual.erase(at, 1);
        const std::set<std::string> options = optionsIn(help.out);
        EXPECT_GE(options.size(), fewestOptions);
        for (const std::string &name : options)
            EXPECT_NE(manual.find(name), std::string::npos) << name << " is missing in " << page;

        const std::string groff = onPath("groff");
        if (groff.empty())
            continue;
        const Finished check = runToEnd(groff, {"-man", "-ww", "-z", page.string()});
        EXPECT_EQ(check.code, 0);
        EXPECT_EQ(check.err, "");
    }
}

} // namespace
} // namespace qn480::testing
