// SPDX-License-Identifier: GPL-3.0-or-later
// The udev rule qn480ctl writes for an adapter, from the properties udevadm shows for it.

#include "udev_rule.h"

#include "commands.h"
#include "text_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace qn480::cli {
namespace {

struct Case
{
    const char *what;
    const char *properties;          // as `udevadm info --query=property --name=...` prints them
    const char *name;                // the link under /dev; empty when there must be no rule
    std::vector<std::string> inRule; // fragments of the rule line, or of the error
};

// The rule line without its comments.
std::string ruleLine(const std::string &text)
{
    std::string last;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        if (text[start] != '#')
            last = text.substr(start, end - start);
    }
    return last;
}

TEST(UdevRule, MatchesOneAdapterAndNamesItAfterItsSerialNumberOrItsPort)
{
    const std::vector<Case> cases{
        {"FTDI adapter with a serial number",
         "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0\n"
         "DEVNAME=/dev/ttyUSB0\nMAJOR=188\nMINOR=0\nSUBSYSTEM=tty\nID_BUS=usb\n"
         "ID_VENDOR_ID=0403\nID_MODEL_ID=6001\nID_SERIAL_SHORT=A50285BI\n"
         "ID_USB_INTERFACE_NUM=00\nID_VENDOR_FROM_DATABASE=Future Technology Devices\n"
         "ID_MODEL=FT232R_USB_UART\nID_PATH=pci-0000:00:14.0-usb-0:2:1.0\n",
         "qn480-A50285BI",
         {"SUBSYSTEM==\"tty\", ENV{ID_VENDOR_ID}==\"0403\", ENV{ID_MODEL_ID}==\"6001\", "
          "ENV{ID_SERIAL_SHORT}==\"A50285BI\", ENV{ID_USB_INTERFACE_NUM}==\"00\", "
          "ENV{ID_MM_DEVICE_IGNORE}=\"1\", GROUP=\"dialout\", MODE=\"0660\", TAG+=\"uaccess\", "
          "SYMLINK+=\"qn480-A50285BI\""}},
        {"second port of a two-port chip: same serial number, its own name",
         "DEVNAME=/dev/ttyUSB1\nSUBSYSTEM=tty\nID_VENDOR_ID=0403\nID_MODEL_ID=6010\n"
         "ID_SERIAL_SHORT=FT2XYZ\nID_USB_INTERFACE_NUM=01\n",
         "qn480-FT2XYZ-if01",
         {"ENV{ID_USB_INTERFACE_NUM}==\"01\"", "SYMLINK+=\"qn480-FT2XYZ-if01\""}},
        {"CH340 without a serial number follows its USB port",
         "DEVNAME=/dev/ttyUSB0\nSUBSYSTEM=tty\nID_VENDOR_ID=1a86\nID_MODEL_ID=7523\n"
         "ID_USB_INTERFACE_NUM=00\nID_PATH=pci-0000:00:14.0-usb-0:3:1.0\n"
         "ID_PATH_TAG=pci-0000_00_14_0-usb-0_3_1_0\n",
         "qn480-pci-0000_00_14_0-usb-0_3_1_0",
         {"ENV{ID_PATH}==\"pci-0000:00:14.0-usb-0:3:1.0\"", "TAG+=\"uaccess\""}},
        {"newer udev's ID_USB_ names",
         "DEVNAME=/dev/ttyACM0\nSUBSYSTEM=tty\nID_USB_VENDOR_ID=2e8a\nID_USB_MODEL_ID=000a\n"
         "ID_USB_SERIAL_SHORT=E66138935F\n",
         "qn480-E66138935F",
         {"ENV{ID_USB_VENDOR_ID}==\"2e8a\"", "ENV{ID_USB_SERIAL_SHORT}==\"E66138935F\""}},
        {"quotes and pattern characters cannot escape the string or widen the match",
         "DEVNAME=/dev/ttyUSB0\nSUBSYSTEM=tty\nID_VENDOR_ID=0403\nID_MODEL_ID=6001\n"
         "ID_SERIAL_SHORT=A\"*[1]|\\z/\n",
         "qn480-A___1___z_",
         {"ENV{ID_SERIAL_SHORT}==\"A???1???z/\"", "SYMLINK+=\"qn480-A___1___z_\""}},
        {"a DEVNAME with a CR, which udev's line reader would end a line on",
         "DEVNAME=/dev/ttyUSB0\r\x7f\nSUBSYSTEM=tty\nID_VENDOR_ID=0403\nID_MODEL_ID=6001\n"
         "ID_SERIAL_SHORT=A5\n",
         "qn480-A5",
         {"ENV{ID_SERIAL_SHORT}==\"A5\""}},
        {"on-board UART",
         "DEVNAME=/dev/ttyS0\nSUBSYSTEM=tty\nID_PATH=platform-serial8250\n",
         "",
         {"/dev/ttyS0 is not a USB serial adapter"}},
        {"not a serial device",
         "DEVNAME=/dev/sda\nSUBSYSTEM=block\nID_VENDOR_ID=0781\n",
         "",
         {"/dev/sda is not a serial device"}},
        {"malformed IDs",
         "SUBSYSTEM=tty\nID_VENDOR_ID=04030\nID_MODEL_ID=6001\n",
         "",
         {"the device is not a USB serial adapter"}},
        {"nothing to tell two of a kind apart",
         "DEVNAME=/dev/ttyUSB0\nSUBSYSTEM=tty\nID_VENDOR_ID=1a86\nID_MODEL_ID=7523\n",
         "",
         {"neither a serial number nor a USB port path"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const UdevRule rule = makeUdevRule(parseUdevProperties(c.properties));
        EXPECT_EQ(rule.name, c.name);
        if (*c.name == '\0') {
            EXPECT_EQ(rule.text, "");
            for (const std::string &fragment : c.inRule)
                EXPECT_NE(rule.error.find(fragment), std::string::npos) << rule.error;
            continue;
        }
        EXPECT_EQ(rule.error, "");
        // Comment lines and one rule line, ready to be a file of its own.
        ASSERT_FALSE(rule.text.empty());
        EXPECT_EQ(rule.text.find_first_of("\r\x7f"), std::string::npos) << rule.text;
        EXPECT_EQ(rule.text.front(), '#');
        EXPECT_EQ(rule.text.back(), '\n');
        const std::string line = ruleLine(rule.text);
        for (const std::string &fragment : c.inRule)
            EXPECT_NE(line.find(fragment), std::string::npos) << line;
        EXPECT_NE(line.find(", ENV{ID_MM_DEVICE_IGNORE}=\"1\", GROUP=\"dialout\", MODE=\"0660\", "
                            "TAG+=\"uaccess\", SYMLINK+=\"" +
                            rule.name + "\""),
                  std::string::npos)
            << line;
    }
}

// The command as a user runs it, with a udevadm of the test's own making first on PATH.
TEST(UdevRule, TheCommandEscapesWhatItCitesAndReadsAChattyUdevadm)
{
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("qn480-udevadm-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string device = (dir / "ttyUSB0").string();
    std::ofstream(device) << "";
    const auto fakeUdevadm = [&](const std::string &script) {
        const std::filesystem::path path = dir / "udevadm";
        std::ofstream(path) << "#!/bin/sh\n" << script;
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    };
    const std::string oldPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    ::setenv("PATH", (dir.string() + ":" + oldPath).c_str(), 1);

    struct Run
    {
        const char *what;
        std::string udevadm; // its script; empty: the one of the case before
        std::string device;
        int code;
        std::string out; // a fragment of it; empty: nothing
        std::string err;
    };
    // More on stderr than a pipe holds, before a word on stdout.
    const std::string chatty = "head -c 300000 /dev/zero | tr '\\000' x >&2\n";
    const std::vector<Run> runs{
        {"a device that is not there", "exit 0\n", "/nonexistent/tty\r\x1b[2J", 3, "",
         "qn480ctl: cannot read /nonexistent/tty\\x0D\\x1B[2J: No such file or directory\n"},
        {"a udevadm that fills stderr before it prints the properties",
         chatty + "printf 'DEVNAME=/dev/ttyUSB0\\nSUBSYSTEM=tty\\nID_VENDOR_ID=0403\\n"
                  "ID_MODEL_ID=6001\\nID_SERIAL_SHORT=A5\\n'\n",
         device, 0, "SYMLINK+=\"qn480-A5\"", ""},
        {"a udevadm that fails at length", chatty + "printf '\\033[2J' >&2; exit 1\n", device, 1,
         "", "qn480ctl: udevadm knows no device " + device + " (" + std::string(200, 'x') + ")\n"},
    };
    for (const Run &c : runs) {
        SCOPED_TRACE(c.what);
        if (!c.udevadm.empty())
            fakeUdevadm(c.udevadm);
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(udevRuleCommand(c.device, Io{out, err}), c.code);
        EXPECT_TRUE(c.out.empty() ? out.str().empty() : out.str().find(c.out) != std::string::npos)
            << out.str();
        EXPECT_EQ(err.str(), c.err);
    }
    ::setenv("PATH", oldPath.c_str(), 1);
    std::filesystem::remove_all(dir);
}

// The example shipped for writing a rule by hand is the rule qn480ctl writes.
TEST(UdevRule, TheShippedExampleIsWhatTheCommandWrites)
{
    const std::string example =
        testing::readFile(QN480_SOURCE_DIR "/contrib/70-qn480-reader.rules.example");
    const std::size_t at = example.find("\n#SUBSYSTEM==");
    ASSERT_NE(at, std::string::npos);
    const std::string line = example.substr(at + 2, example.find('\n', at + 1) - at - 2);

    const UdevRule rule = makeUdevRule(parseUdevProperties(
        "DEVNAME=/dev/ttyUSB0\nSUBSYSTEM=tty\nID_VENDOR_ID=0403\n"
        "ID_MODEL_ID=6001\nID_SERIAL_SHORT=A50285BI\nID_USB_INTERFACE_NUM=00\n"));
    EXPECT_EQ(line, ruleLine(rule.text));
    // Its made-up IDs must not act when it is copied as it is.
    std::istringstream lines(example);
    for (std::string each; std::getline(lines, each);)
        EXPECT_TRUE(each.empty() || each.front() == '#') << each;
}

} // namespace
} // namespace qn480::cli
