// SPDX-License-Identifier: GPL-3.0-or-later
#include "port_list.h"
#include "serial_port.h"

#include "private_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace qn480 {
namespace {

std::vector<std::string> names(const std::vector<PortEntry> &ports)
{
    std::vector<std::string> out;
    for (const PortEntry &port : ports)
        out.push_back(port.name);
    return out;
}

PortEntry real(int number, std::string device)
{
    return {comName(number), number, std::move(device), "real"};
}

struct Warnings
{
    std::vector<std::string> seen;
    std::function<void(const std::string &)> sink()
    {
        return [this](const std::string &text) {
            seen.push_back(text);
        };
    }
};

TEST(PortNames, ComAndAtLeastTwoDigitsAndBack)
{
    EXPECT_EQ(comName(1), "COM01");
    EXPECT_EQ(comName(12), "COM12");
    EXPECT_EQ(comName(100), "COM100");
    EXPECT_EQ(portNumber("COM03"), 3);
    EXPECT_EQ(portNumber("COM100"), 100);
    EXPECT_EQ(portNumber("COM"), 0);
    EXPECT_EQ(portNumber("COMx1"), 0);
    EXPECT_EQ(portNumber(""), 0);
    // As typed by a user: any case, from 1 on.
    EXPECT_EQ(comNumberOf("com07"), 7);
    for (const char *notOne : {"COM", "COM0", "COM-1", "/dev/ttyS0"})
        EXPECT_EQ(comNumberOf(notOne), 0) << notOne;
}

TEST(PortNames, EachDeviceFamilyHasItsOwnBlockAndOtherNamesAStableHash)
{
    EXPECT_EQ(comNumberForDevice("ttyS0"), 1);
    EXPECT_EQ(comNumberForDevice("/dev/ttyS2"), 3);
    EXPECT_EQ(comNumberForDevice("ttyUSB0"), 100);
    EXPECT_EQ(comNumberForDevice("ttyUSB7"), 107);
    EXPECT_EQ(comNumberForDevice("/dev/ttyACM1"), 201);
    EXPECT_EQ(comNumberForDevice("ttyAMA0"), 300);
    EXPECT_EQ(comNumberForDevice("rfcomm3"), 403);

    // Beyond its block a family falls to the hashed block, never into a neighbour's.
    for (const char *name : {"ttyS99", "ttyUSB100", "ttyXRUSB0", "ttymxc1", "ttyS", "ttyUSBx"}) {
        const int number = comNumberForDevice(name);
        EXPECT_GE(number, 1000) << name;
        EXPECT_LE(number, 9999) << name;
        EXPECT_EQ(comNumberForDevice(std::string("/dev/") + name), number) << name;
    }
    EXPECT_NE(comNumberForDevice("ttyXRUSB0"), comNumberForDevice("ttyXRUSB1"));

    // Windows' names keep their number; macOS's cu.* devices are hashed like any other, and
    // only they are offered, not their tty.* twins.
    EXPECT_EQ(comNumberForDevice("COM3"), 3);
    EXPECT_EQ(comNumberForDevice("\\\\.\\COM12"), 12);
    const int mac = comNumberForDevice("/dev/cu.usbserial-1410");
    EXPECT_GE(mac, 1000);
    EXPECT_EQ(mac, comNumberForDevice("cu.usbserial-1410"));
    EXPECT_TRUE(offeredPortName("cu.usbserial-1410"));
    EXPECT_FALSE(offeredPortName("tty.usbserial-1410"));
    EXPECT_TRUE(offeredPortName("ttyUSB0"));
}

// In text order, a port listed twice once; a virtual port joins, and wins over a real port
// of its number.
TEST(PortList, VirtualPortsJoinASortedListAndWinOverARealPortOfTheSameNumber)
{
    Warnings warnings;
    const auto ports = mergePorts({real(100, "/dev/ttyUSB0"), real(3, "/dev/ttyS2"),
                                   real(1, "/dev/ttyS0"), real(100, "/dev/ttyUSB0")},
                                  " COM07 = /tmp/qn480-reader ; COM3=/dev/pts/4;", warnings.sink());
    EXPECT_TRUE(warnings.seen.empty());
    ASSERT_EQ(names(ports), (std::vector<std::string>{"COM01", "COM03", "COM07", "COM100"}));
    EXPECT_EQ(ports[1].device, "/dev/pts/4");
    EXPECT_EQ(ports[1].number, 3);
    EXPECT_EQ(ports[2].device, "/tmp/qn480-reader");
    EXPECT_NE(ports[2].description.find("QN480_PORTS"), std::string::npos);

    // An entry whose path is not there gives way to the real port of its number.
    const auto present = mergePorts(
        {real(1, "/dev/ttyS0"), real(3, "/dev/ttyS2")}, "COM07=/tmp/qn480-reader;COM3=/dev/pts/4",
        warnings.sink(), [](const std::string &device) { return device != "/dev/pts/4"; });
    ASSERT_EQ(names(present), (std::vector<std::string>{"COM01", "COM03", "COM07"}));
    EXPECT_EQ(present[1].device, "/dev/ttyS2");
    EXPECT_TRUE(warnings.seen.empty());
}

TEST(PortList, EachMalformedOrRepeatedEntryIsSkippedWithOneWarning)
{
    Warnings warnings;
    const auto ports = mergePorts({real(1, "/dev/ttyS0")},
                                  "COM=/dev/a;ttyS0;COM5;COM6=;LPT1=/dev/b;COM0=/dev/c;COM8=/dev/d;"
                                  "com08=/dev/e;COM9=/dev/f",
                                  warnings.sink());
    EXPECT_EQ(names(ports), (std::vector<std::string>{"COM01", "COM08", "COM09"}));
    EXPECT_EQ(ports[1].device, "/dev/d") << "the first entry for a number stays";
    ASSERT_EQ(warnings.seen.size(), 7u);
    EXPECT_NE(warnings.seen[0].find("COM=/dev/a"), std::string::npos);
}

TEST(PortList, AWarningQuotesAHostileEntrySafely)
{
    struct Case
    {
        std::string entry;
        std::string shown; // as the warning quotes it
    };
    const std::vector<Case> cases{
        {"COM1x=/dev/a\nqn480ctl: all good", R"("COM1x=/dev/a\x0Aqn480ctl: all good")"},
        {"\x1b[31mred\x1b[0m\x07\x1b[2J", R"("\x1B[31mred\x1B[0m\x07\x1B[2J")"},
        {"COMx=\xff\xfe\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80",
         R"("COMx=\xFF\xFE\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80")"},
        {"COMx=\xc2\x9b"
         "31m\xe2\x80\xae",
         R"("COMx=\u{009B}31m\u{202E}")"},
        {"COMx=\"q\"\\b\rc", R"("COMx=\"q\"\\b\x0Dc")"},
        {"COMx=caf\xc3\xa9", "\"COMx=caf\xc3\xa9\""},
    };
    for (const Case &c : cases) {
        Warnings warnings;
        mergePorts({}, c.entry, warnings.sink());
        ASSERT_EQ(warnings.seen.size(), 1u) << c.shown;
        EXPECT_EQ(warnings.seen[0],
                  "QN480_PORTS: ignoring " + c.shown + "; entries look like COM07=/path/to/device");
    }
}

TEST(PortList, TheEnvironmentVariableReachesTheMachinesList)
{
    ::setenv("QN480_PORTS", "COM77=/tmp/no-such-reader", 1);
    const auto ports = listPorts();
    ::setenv("QN480_PORTS", "", 1);
    const auto it = std::find_if(ports.begin(), ports.end(),
                                 [](const PortEntry &p) { return p.name == "COM77"; });
    ASSERT_NE(it, ports.end());
    EXPECT_EQ(it->device, "/tmp/no-such-reader");
    EXPECT_TRUE(
        std::is_sorted(ports.begin(), ports.end(),
                       [](const PortEntry &a, const PortEntry &b) { return a.name < b.name; }));
}

// The device control string of the reader and its neighbours; anything else is unreadable.
TEST(LineSettings, ReadOrRefused)
{
    const struct
    {
        std::string text;
        std::string read; // baud parity data stop; "" when refused
    } cases[] = {
        {std::string(kReaderSettings), "115200 n 8 1"},
        {" 9600 , E , 7 , 2 ", "9600 e 7 2"},
        {"115200,o,8,1", "115200 o 8 1"},
        {"115200,m,8,1", "115200 m 8 1"},
        {"115200,s,8,1", "115200 s 8 1"},
        {"115200,N,8,1", "115200 n 8 1"},
        {"baud=19200 parity=O data=6 stop=2", "19200 o 6 2"},
    };
    for (const auto &c : cases) {
        const auto read = parseLineSettings(c.text);
        ASSERT_TRUE(read) << c.text;
        EXPECT_EQ(std::to_string(read->baud) + " " + read->parity + " " +
                      std::to_string(read->dataBits) + " " + std::to_string(read->stopBits),
                  c.read);
    }
    for (const char *text :
         {"", "115200", "115200,n,8", "115200,n,8,1,x", "115200,x,8,1", "115200,no,8,1",
          "115200,n,9,1", "115200,n,4,1", "115200,n,8,3", "115200,n,8,1.5", "fast,n,8,1", "0,n,8,1",
          "-9600,n,8,1", "115200;n;8;1", "baud=115200 parity=n data=8",
          "baud=115200 parity=n data=8 stop=1 stop=1", "baud=115200 parity=n data=8 speed=1",
          "baud=115200,n,8,1"})
        EXPECT_FALSE(parseLineSettings(text)) << '"' << text << '"';
}

TEST(PortList, TheSignatureMovesWhenAVirtualPortsPathComesOrGoes)
{
    const testing::PrivateDir dir("qn480-signature");
    const std::string path = dir / "reader";
    ::setenv("QN480_PORTS", ("COM20=" + path).c_str(), 1);
    const std::string absent = portListSignature();
    EXPECT_EQ(portListSignature(), absent) << "nothing changed";
    std::ofstream(path).put('x');
    const std::string present = portListSignature();
    EXPECT_NE(present, absent);
    std::filesystem::remove(path);
    EXPECT_EQ(portListSignature(), absent);
    ::unsetenv("QN480_PORTS");
}

} // namespace
} // namespace qn480
