// SPDX-License-Identifier: GPL-3.0-or-later
// `cmake --install` into a fresh prefix: the programs, the desktop entry with its icon and
// metainfo, the manual pages and the udev rule land where a Linux desktop looks for them,
// and the manual pages keep up with the programs' own --help. The Debian package, unpacked
// into a scratch root, holds the same and its programs run.

#include "child_process.h"
#include "text_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include <unistd.h>

namespace qn480::testing {
namespace {

namespace fs = std::filesystem;

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
          "share/icons/hicolor/scalable/apps/qn480-tool.svg",
          "share/metainfo/org.qn480.BenchTool.metainfo.xml", "share/man/man1/qn480-tool.1",
          "share/man/man1/qn480ctl.1", "share/man/man1/qn480-sim.1",
          "share/qn480/udev/70-qn480-reader.rules.example",
          "share/bash-completion/completions/qn480ctl", "lib/systemd/system/qn480-poll@.service",
          "share/qn480/systemd/reader.conf.example", "share/doc/qn480/copyright",
          "share/doc/qn480/changelog"}) {
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

// What software centres read: valid, and pointing at the installed desktop entry.
TEST_F(InstallTree, TheMetainfoIsValidAndNamesTheDesktopEntry)
{
    const fs::path metainfo = s_prefix / "share/metainfo/org.qn480.BenchTool.metainfo.xml";
    const std::string text = readFile(metainfo);
    const std::string launchable = "<launchable type=\"desktop-id\">";
    const std::size_t at = text.find(launchable);
    ASSERT_NE(at, std::string::npos);
    const std::size_t start = at + launchable.size();
    const std::string entry = text.substr(start, text.find('<', start) - start);
    EXPECT_TRUE(fs::is_regular_file(s_prefix / "share/applications" / entry)) << entry;

    const std::string validator = onPath("appstreamcli");
    if (validator.empty())
        GTEST_SKIP() << "appstreamcli is not installed (Debian: appstream)";
    const Finished check = runToEnd(validator, {"validate", "--no-net", metainfo.string()});
    EXPECT_EQ(check.code, 0) << check.out << check.err;
}

// The installed programs run, and every option a program's --help names is in its manual
// page.
TEST_F(InstallTree, TheManualPagesNameEveryOptionOfTheirProgram)
{
    // qn480-tool has two options only; the others many.
    const std::pair<const char *, std::size_t> programs[] = {
        {"qn480-tool", 2}, {"qn480ctl", 5}, {"qn480-sim", 5}};
    for (const auto &[program, fewestOptions] : programs) {
        SCOPED_TRACE(program);
        const Finished help = runToEnd((s_prefix / "bin" / program).string(), {"--help"});
        EXPECT_EQ(help.code, 0);
        const fs::path page = s_prefix / "share/man/man1" / (std::string(program) + ".1");
        // roff writes a hyphen in an option as \-.
        std::string manual = readFile(page);
        for (std::size_t at; (at = manual.find("\\-")) != std::string::npos;)
            manual.erase(at, 1);
        std::set<std::string> options; // the long ones
        for (const std::string &name : optionNamesIn(help.out)) {
            if (name.starts_with("--"))
                options.insert(name);
        }
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

// The .deb that `cpack` makes of this build, unpacked with dpkg-deb into a scratch root.
class DebianPackage : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        for (const char *tool : {"dpkg-deb", "dpkg-shlibdeps", "file"}) {
            s_tools[tool] = onPath(tool);
            if (s_tools[tool].empty()) {
                s_missing = tool;
                return;
            }
        }
        s_dir = fs::temp_directory_path() / ("qn480-package-" + std::to_string(getpid()));
        fs::remove_all(s_dir);
        s_make = runToEnd(QN480_CPACK_COMMAND, {"--config", QN480_BUILD_DIR "/CPackConfig.cmake",
                                                "-B", (s_dir / "out").string()});
        for (const auto &entry : fs::directory_iterator(s_dir / "out")) {
            if (entry.path().extension() == ".deb")
                s_deb = entry.path();
        }
        if (s_deb.empty())
            return;
        s_unpack = runToEnd(s_tools["dpkg-deb"], {"-x", s_deb.string(), (s_dir / "root").string()});
        s_install = runToEnd(QN480_CMAKE_COMMAND, {"--install", QN480_BUILD_DIR, "--prefix",
                                                   (s_dir / "prefix").string()});
    }
    static void TearDownTestSuite() { fs::remove_all(s_dir); }

    void SetUp() override
    {
        if (!s_missing.empty())
            GTEST_SKIP() << s_missing << " is not installed (Debian: dpkg-dev, file)";
        ASSERT_EQ(s_make.code, 0) << s_make.out << s_make.err;
        ASSERT_FALSE(s_deb.empty()) << s_make.out;
        ASSERT_EQ(s_unpack.code, 0) << s_unpack.err;
        ASSERT_EQ(s_install.code, 0) << s_install.err;
    }

    static std::string field(const std::string &name)
    {
        return runToEnd(s_tools["dpkg-deb"], {"-f", s_deb.string(), name}).out;
    }

    static inline std::map<std::string, std::string> s_tools;
    static inline std::string s_missing;
    static inline fs::path s_dir;
    static inline fs::path s_deb;
    static inline Finished s_make;
    static inline Finished s_unpack;
    static inline Finished s_install;
};

// Whatever the install rules list (a new manual page or completion included) is in the
// package under /usr, manual pages and the changelog compressed as Debian has them.
TEST_F(DebianPackage, HoldsEverythingTheInstallRulesList)
{
    const fs::path root = s_dir / "root/usr";
    for (const auto &entry : fs::recursive_directory_iterator(s_dir / "prefix")) {
        if (!entry.is_regular_file())
            continue;
        std::string file = fs::relative(entry.path(), s_dir / "prefix").string();
        if (file.starts_with("share/man/") || file.ends_with("/changelog"))
            file += ".gz";
        EXPECT_TRUE(fs::is_regular_file(root / file)) << file << " is not in the package";
    }
    // The systemd unit starts the package's own qn480ctl, whatever prefix the build had.
    const std::string unit = readFile(root / "lib/systemd/system/qn480-poll@.service");
    EXPECT_NE(unit.find("\nExecStart=/usr/bin/qn480ctl "), std::string::npos) << unit;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() && entry.path().extension() == ".gz") {
            EXPECT_EQ(readFile(entry.path()).substr(0, 2), "\x1f\x8b") << entry.path();
        }
    }
}

TEST_F(DebianPackage, DependsOnRunTimeLibrariesAndTheFontsNotOnDevelopmentPackages)
{
    const std::string depends = field("Depends");
    for (const char *package : {"libqt6widgets6", "libqt6serialport6", "libstdc++6",
                                "fonts-liberation2", "fonts-dejavu-core", "fonts-dejavu-extra"}) {
        EXPECT_NE(depends.find(package), std::string::npos) << package << " in " << depends;
    }
    EXPECT_EQ(depends.find("-dev"), std::string::npos) << depends;
    EXPECT_EQ(field("Package"), "qn480\n");
    EXPECT_EQ(field("Version"), QN480_VERSION "\n");
}

TEST_F(DebianPackage, TheProgramsRunFromTheUnpackedRootAndTellTheirVersion)
{
    for (const char *program : {"qn480-tool", "qn480ctl", "qn480-sim"}) {
        // A window that ignored --version would never end on its own.
        const Finished version = runToEnd(
            onPath("timeout"), {"10", (s_dir / "root/usr/bin" / program).string(), "--version"});
        EXPECT_EQ(version.code, 0) << program << ": " << version.err;
        EXPECT_NE(version.out.find(QN480_VERSION), std::string::npos)
            << program << ": " << version.out;
    }
}

// Errors fail; warnings and notes are shown for the closing look.
TEST_F(DebianPackage, LintianFindsNoError)
{
#ifdef QN480_SANITIZED
    GTEST_SKIP() << "lintian judges the package as shipped, not a sanitizer build";
#endif
    const std::string lintian = onPath("lintian");
    if (lintian.empty())
        GTEST_SKIP() << "lintian is not installed";
    const Finished check = runToEnd(lintian, {"--no-cfg", "--display-info", s_deb.string()});
    std::cout << check.out;
    std::istringstream lines(check.out);
    for (std::string line; std::getline(lines, line);)
        EXPECT_FALSE(line.starts_with("E: ")) << line;
}

} // namespace
} // namespace qn480::testing
