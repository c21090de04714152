#include "tolvan/platform/systeminfo.h"

#include "tolvan/common/allocator.h"
#include "tolvan/platform/dialog.h"
#include "tolvan/thread/thread.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace Kalvex;

namespace {

std::string utf8(const String& text) {
    return text.toUtf8().cStr();
}

std::string readFile(const char* path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The "flags" line of the first processor in /proc/cpuinfo as a set of words.
std::set<std::string> readCpuInfoFlags() {
    std::istringstream cpuinfo(readFile("/proc/cpuinfo"));
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) != 0) continue;
        std::istringstream words(line.substr(line.find(':') + 1));
        return std::set<std::string>(std::istream_iterator<std::string>(words), {});
    }
    return {};
}

std::string runCommand(const char* command) {
    std::string output;
    FILE* pipe = popen(command, "r");
    if (!pipe) return output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    pclose(pipe);
    return output;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        result.push_back(line);
    return result;
}

CpuIdResult ecx(uint32 value) {
    return CpuIdResult{0, 0, value, 0};
}

CpuIdResult ebx(uint32 value) {
    return CpuIdResult{0, value, 0, 0};
}

} // namespace

// ---------------------------------------------------------------------------------------------------
// Processor

TEST(CpuFeatures, MatchTheFlagsTheKernelReports) {
    const std::set<std::string> flags = readCpuInfoFlags();
    if (flags.empty()) GTEST_SKIP() << "/proc/cpuinfo has no flags line";
    const struct {
        CpuFeatures feature;
        const char* kernelName;
    } table[] = {
        {CpuFeatures::SSE3, "pni"},     {CpuFeatures::SSSE3, "ssse3"},   {CpuFeatures::SSE41, "sse4_1"},
        {CpuFeatures::SSE42, "sse4_2"}, {CpuFeatures::AVX, "avx"},       {CpuFeatures::AVX2, "avx2"},
        {CpuFeatures::BMI1, "bmi1"},    {CpuFeatures::BMI2, "bmi2"},     {CpuFeatures::FMA, "fma"},
        {CpuFeatures::F16C, "f16c"},    {CpuFeatures::RDRAND, "rdrand"}, {CpuFeatures::HLE, "hle"},
    };
    const Flags<CpuFeatures> features = getCpuFeatures();
    for (const auto& row : table) {
        EXPECT_EQ(features.has(row.feature), flags.count(row.kernelName) == 1) << row.kernelName;
    }
}

TEST(CpuFeatures, VectorExtensionsNeedTheSystemToSaveTheirState) {
    const uint32 AVX_BIT = 1u << 28;
    const uint32 XSAVE_BITS = (1u << 26) | (1u << 27);
    const uint32 AVX2_BIT = 1u << 5;
    const struct {
        uint32 leaf1Ecx;
        uint64 xcr0;
        bool expectVector;
    } table[] = {
        {AVX_BIT | XSAVE_BITS, 0x7, true},
        {AVX_BIT | XSAVE_BITS, 0x3, false}, // the system does not save the AVX state
        {AVX_BIT | XSAVE_BITS, 0x5, false}, // nor the SSE state
        {AVX_BIT | (1u << 26), 0x7, false}, // XGETBV not enabled by the system
        {AVX_BIT | (1u << 27), 0x7, false}, // no XSAVE
        {AVX_BIT | XSAVE_BITS, 0xE7, true}, // AVX-512 state bits change nothing
    };
    for (const auto& row : table) {
        const Flags<CpuFeatures> f = Detail::decodeCpuFeatures(ecx(row.leaf1Ecx), ebx(AVX2_BIT), row.xcr0);
        EXPECT_EQ(f.has(CpuFeatures::AVX), row.expectVector) << std::hex << row.leaf1Ecx << " " << row.xcr0;
        EXPECT_EQ(f.has(CpuFeatures::AVX2), row.expectVector) << std::hex << row.leaf1Ecx << " " << row.xcr0;
    }
    // The other bits are read as they are, each from its own register and position.
    const Flags<CpuFeatures> all = Detail::decodeCpuFeatures(ecx(0xFFFFFFFF), ebx(0xFFFFFFFF), 0);
    EXPECT_EQ(all.getBits(), 0xFFFu & ~(uint32(CpuFeatures::AVX) | uint32(CpuFeatures::AVX2)));
    EXPECT_EQ(Detail::decodeCpuFeatures(ecx(1u << 19), {}, 0), Flags(CpuFeatures::SSE41));
    EXPECT_EQ(Detail::decodeCpuFeatures({}, ebx(1u << 4), 0), Flags(CpuFeatures::HLE));
}

TEST(CpuVendor, FromTheLeafZeroText) {
    // The twelve characters are spread over EBX, EDX, ECX, four per register, low byte first.
    const auto leaf = [](const char(&text)[13]) {
        const auto reg = [&text](int at) {
            return uint32(uint8(text[at])) | uint32(uint8(text[at + 1])) << 8 |
                   uint32(uint8(text[at + 2])) << 16 | uint32(uint8(text[at + 3])) << 24;
        };
        return CpuIdResult{0, reg(0), reg(8), reg(4)};
    };
    EXPECT_EQ(Detail::decodeCpuVendor(leaf("GenuineIntel")), CpuVendor::INTEL);
    EXPECT_EQ(Detail::decodeCpuVendor(leaf("AuthenticAMD")), CpuVendor::AMD);
    EXPECT_EQ(Detail::decodeCpuVendor(leaf("AMDisbetter!")), CpuVendor::AMD);
    EXPECT_EQ(Detail::decodeCpuVendor(leaf("HygonGenuine")), CpuVendor::UNKNOWN);
    EXPECT_EQ(Detail::decodeCpuVendor(leaf("GenuineIntem")), CpuVendor::UNKNOWN);

    const std::string cpuinfo = readFile("/proc/cpuinfo");
    if (cpuinfo.find("GenuineIntel") != std::string::npos) {
        EXPECT_EQ(getCpuVendor(), CpuVendor::INTEL);
    }
    if (cpuinfo.find("AuthenticAMD") != std::string::npos) {
        EXPECT_EQ(getCpuVendor(), CpuVendor::AMD);
    }
}

TEST(CpuInfo, RunsOfSpacesAreReduced) {
    EXPECT_EQ(Detail::reduceDoubleSpaces(String(u"Intel(R)  Core(TM)   i7")),
              String(u"Intel(R) Core(TM) i7"));
    EXPECT_EQ(Detail::reduceDoubleSpaces(String(u"a     b")), String(u"a b"));
    EXPECT_EQ(Detail::reduceDoubleSpaces(String(u"")), String(u""));
    String longName;
    for (int i = 0; i < 600; ++i)
        longName += String(u"x");
    EXPECT_EQ(Detail::reduceDoubleSpaces(longName).length(), 511);
}

TEST(CpuInfo, IsTheModelNameTheKernelReports) {
    std::istringstream cpuinfo(readFile("/proc/cpuinfo"));
    std::string line;
    while (std::getline(cpuinfo, line) && line.rfind("model name", 0) != 0) {
    }
    if (line.empty()) GTEST_SKIP() << "/proc/cpuinfo has no model name";
    String expected = String::fromUtf8(line.substr(line.find(':') + 1));
    expected.trim();
    EXPECT_EQ(utf8(getCpuInfo()), utf8(Detail::reduceDoubleSpaces(expected)));
    EXPECT_FALSE(getCpuInfo().contains(String(u"  ")));
}

TEST(SystemProcessorInformation, CountsPackagesCoresAndLogicalProcessors) {
    // /proc/cpuinfo names each logical processor's package ("physical id") and core ("core id").
    std::istringstream cpuinfo(readFile("/proc/cpuinfo"));
    std::set<std::string> packages;
    std::set<std::pair<std::string, std::string>> cores;
    std::string line, package;
    while (std::getline(cpuinfo, line)) {
        const std::string value = line.substr(line.find(':') + 1);
        if (line.rfind("physical id", 0) == 0) package = value;
        if (line.rfind("core id", 0) == 0) cores.insert({package, value}), packages.insert(package);
    }
    const SystemProcessorInformation info = getSystemProcessorInformation();
    EXPECT_EQ(info.mLogicalProcessorCount, uint32(Utils::getLogicalProcessorCount()));
    if (packages.empty()) GTEST_SKIP() << "/proc/cpuinfo has no topology";
    EXPECT_EQ(info.mPackageCount, packages.size());
    EXPECT_EQ(info.mCoreCount, cores.size());
}

// ---------------------------------------------------------------------------------------------------
// The processor check at load

TEST(ProcessorCheck, RefusesWithoutSse41AndShowsTheMessageOncePerProcess) {
    Stack<Utils::DialogRequest> shown;
    const Utils::DialogPresenter previous =
        Utils::setDialogPresenter([&shown](const Utils::DialogRequest& r) {
            shown.push(r);
            return 0;
        });
    EXPECT_TRUE(Detail::checkProcessorFeatures(Flags(CpuFeatures::SSE41)));
    EXPECT_TRUE(shown.isEmpty());
    const Flags<CpuFeatures> withoutSse41 =
        Flags(CpuFeatures::SSE3) | CpuFeatures::SSSE3 | CpuFeatures::SSE42;
    EXPECT_FALSE(Detail::checkProcessorFeatures(withoutSse41));
    EXPECT_FALSE(Detail::checkProcessorFeatures(Flags<CpuFeatures>()));
    Utils::setDialogPresenter(previous);
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0].caption, String(u"Application error"));
    EXPECT_EQ(
        utf8(shown[0].message),
        "Your processor doesn't support required features (SSE 4.1). Kalvex Renderer won't work on this "
        "PC. Contact our support for more info.");
    // This machine runs the library, so it passed the same check at load.
    EXPECT_TRUE(getCpuFeatures().has(CpuFeatures::SSE41));
}

// ---------------------------------------------------------------------------------------------------
// Names

TEST(ComputerName, IsTheShortHostName) {
    const std::string host = runCommand("hostname -s 2>/dev/null");
    const String name = getComputerName();
    EXPECT_FALSE(name.isEmpty());
    EXPECT_LE(name.length(), 15);
    if (!host.empty()) {
        EXPECT_EQ(utf8(name), host.substr(0, host.find('\n')).substr(0, 15));
    }
}

TEST(OsInfo, NameAndVersionFromOsReleaseAndTheKernel) {
    const struct {
        const char16_t* osRelease;
        const char16_t* kernel;
        const char16_t* expected;
    } table[] = {
        {u"PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n",
         u"6.1.0-18-amd64", u"Debian GNU/Linux 12 (6.1.0-18-amd64)"},
        {u"NAME=Arch\n", u"6.7.1", u"Arch (6.7.1)"},
        {u"NAME='Say \\\"hi\\\"'\nVERSION_ID=1.0\n", u"", u"Say \"hi\" 1.0"},
        {u"PRETTY_NAME=\"Only Pretty\"\n", u"5.0", u"Only Pretty (5.0)"},
        {u"", u"5.0", u"Linux (5.0)"},
        {u"  NAME=\"Spaced\"  \n#NAME=ignored\nXNAME=no\n", u"1", u"Spaced (1)"},
    };
    for (const auto& row : table) {
        EXPECT_EQ(utf8(Detail::formatOsInfo(String(row.osRelease), String(row.kernel))),
                  utf8(String(row.expected)));
    }
    const Expected<String, String> info = getOsInfoString();
    ASSERT_TRUE(info.hasValue());
    const std::string release = runCommand("uname -r");
    EXPECT_TRUE(utf8(info.value()).ends_with(" (" + release.substr(0, release.find('\n')) + ")"))
        << utf8(info.value());
}

// ---------------------------------------------------------------------------------------------------
// Memory

TEST(Memory, SizesAgreeWithProcMeminfo) {
    std::map<std::string, uint64> meminfo;
    std::istringstream in(readFile("/proc/meminfo"));
    std::string key;
    uint64 value;
    std::string unit;
    while (in >> key >> value) {
        std::getline(in, unit);
        meminfo[key.substr(0, key.size() - 1)] = value * 1024;
    }
    ASSERT_TRUE(getSystemPhysicalMemorySize().hasValue());
    EXPECT_EQ(getSystemPhysicalMemorySize().value(), meminfo["MemTotal"]);
    EXPECT_EQ(getSystemVirtualMemorySize().value(), meminfo["MemTotal"] + meminfo["SwapTotal"]);
    const uint64 used = getSystemUsedVirtualMemory().value();
    EXPECT_GT(used, 0u);
    EXPECT_LT(used, getSystemVirtualMemorySize().value());

    const uint64 processUsed = getProcessUsedVirtualMemory().value();
    EXPECT_GT(processUsed, 0u);
    EXPECT_LT(processUsed, used + meminfo["SwapTotal"] + 1);
    EXPECT_GE(getProcessPeakUsedVirtualMemory().value(), processUsed);
}

TEST(Memory, TheReportHasFiveLinesAndShowsErrorsInline) {
    const String report = Detail::formatMemoryStatistics(
        String(u"Renderer"), uint64(1536), makeUnexpected(String(u"no access")), uint64(2048), uint64(0));
    EXPECT_EQ(utf8(report), "1.5 kB of virtualized* RAM used by Renderer\n"
                            "<ERROR: no access> of virtualized* RAM used by all running applications\n"
                            "2 kB of physical RAM installed on system\n"
                            "0 B of virtualized* RAM provided by OS\n"
                            "\n"
                            "* virtualized RAM means physical RAM + swap file on HDD/SSD\n");

    const std::vector<std::string> live = lines(utf8(getFormattedMemoryStatistics(String(u"application"))));
    ASSERT_EQ(live.size(), 6u); // five lines, the fifth beginning with an empty one
    EXPECT_TRUE(live[0].ends_with(" of virtualized* RAM used by application"));
    EXPECT_TRUE(live[1].ends_with(" of virtualized* RAM used by all running applications"));
    EXPECT_TRUE(live[2].ends_with(" of physical RAM installed on system"));
    EXPECT_TRUE(live[3].ends_with(" of virtualized* RAM provided by OS"));
    EXPECT_EQ(live[4], "");
    EXPECT_EQ(live[5], "* virtualized RAM means physical RAM + swap file on HDD/SSD");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(live[size_t(i)].find("<ERROR"), std::string::npos) << live[size_t(i)];
}

// ---------------------------------------------------------------------------------------------------
// Devices and network

TEST(GpuVendors, ByPciVendor) {
    EXPECT_EQ(Detail::classifyGpuVendor(0x10DE), GpuVendor::NVIDIA);
    EXPECT_EQ(Detail::classifyGpuVendor(0x1002), GpuVendor::AMD);
    EXPECT_EQ(Detail::classifyGpuVendor(0x1022), GpuVendor::AMD);
    EXPECT_EQ(Detail::classifyGpuVendor(0x8086), GpuVendor::OTHER);
    EXPECT_EQ(Detail::classifyGpuVendor(0x1234), GpuVendor::OTHER);
    // A display device of any vendor sets at least one flag; none sets none.
    const bool hasDisplay = !runCommand("grep -l '^0x03' /sys/bus/pci/devices/*/class 2>/dev/null").empty();
    EXPECT_EQ(!getGpuVendors().isEmpty(), hasDisplay);
}

TEST(LocalIpAddress, IsEmptyOrDottedIpv4) {
    const std::string address = utf8(getLocalIpAddress());
    if (address.empty()) return;
    in_addr parsed{};
    EXPECT_EQ(inet_pton(AF_INET, address.c_str(), &parsed), 1) << address;
}

namespace {

// `ip -o addr`: for every interface, its IPv4 and IPv6 addresses in the listed order.
struct IpListing {
    std::vector<std::string> ipv4;
    std::vector<std::string> ipv6;
};
std::map<std::string, IpListing> readIpAddr() {
    std::map<std::string, IpListing> result;
    for (const std::string& line : lines(runCommand("ip -o addr 2>/dev/null"))) {
        std::istringstream words(line);
        std::string index, name, family, address;
        words >> index >> name >> family >> address;
        address = address.substr(0, address.find('/'));
        if (family == "inet") result[name].ipv4.push_back(address);
        if (family == "inet6") result[name].ipv6.push_back(address);
    }
    return result;
}

std::vector<std::string> toVector(const Stack<String>& texts) {
    std::vector<std::string> result;
    for (const String& text : texts)
        result.push_back(utf8(text));
    return result;
}

std::string concatenated(const std::vector<std::string>& a, const std::vector<std::string>& b) {
    std::string all;
    for (const auto& s : a)
        all += s + " ";
    for (const auto& s : b)
        all += s + " ";
    return all;
}

} // namespace

TEST(NetworkAdapters, AgreeWithIpAddr) {
    const std::map<std::string, IpListing> listing = readIpAddr();
    if (listing.empty()) GTEST_SKIP() << "ip -o addr lists nothing";
    const Flags<AdapterFlag> ethernet = Flags(AdapterFlag::ETHERNET) | AdapterFlag::WIRELESS;
    const auto both = getNetworkAdapters(ethernet | AdapterFlag::IPV4 | AdapterFlag::IPV6);
    const auto ipv4 = getNetworkAdapters(ethernet | AdapterFlag::IPV4);
    const auto ipv6 = getNetworkAdapters(ethernet | AdapterFlag::IPV6);
    ASSERT_TRUE(both.hasValue() && ipv4.hasValue() && ipv6.hasValue());
    ASSERT_EQ(both.value().size(), ipv4.value().size());

    std::set<std::string> listed;
    for (int i = 0; i < both.value().size(); ++i) {
        const std::string name = utf8(both.value()[i].mName);
        listed.insert(name);
        EXPECT_NE(name, "lo") << "the loopback interface is neither Ethernet nor wireless";
        const auto found = listing.find(name);
        const IpListing expected = found == listing.end() ? IpListing{} : found->second;
        EXPECT_EQ(toVector(ipv4.value()[i].mAddresses), expected.ipv4) << name;
        EXPECT_EQ(toVector(ipv6.value()[i].mAddresses), expected.ipv6) << name;
        EXPECT_EQ(concatenated(toVector(both.value()[i].mAddresses), {}),
                  concatenated(expected.ipv4, expected.ipv6));
    }
    // Every Ethernet interface that has an address is listed.
    for (const auto& [name, addresses] : listing) {
        const bool isEthernet = readFile(("/sys/class/net/" + name + "/type").c_str()) == "1\n";
        if (isEthernet) {
            EXPECT_EQ(listed.count(name), 1u) << name;
        }
    }
}

TEST(NetworkAdapters, FlagRules) {
    // No family: an empty list without asking the system.
    const auto none = getNetworkAdapters(Flags(AdapterFlag::ETHERNET) | AdapterFlag::WIRELESS);
    ASSERT_TRUE(none.hasValue());
    EXPECT_EQ(none.value().size(), 0);
    // No adapter type: nothing is kept.
    const auto noType = getNetworkAdapters(Flags(AdapterFlag::IPV4) | AdapterFlag::IPV6);
    ASSERT_TRUE(noType.hasValue());
    EXPECT_EQ(noType.value().size(), 0);

    Detail::RawAdapter eth{u"eth0", u"Ethernet",   Detail::AdapterType::ETHERNET,
                           true,    {u"10.0.0.1"}, {u"fe80::1"}};
    Detail::RawAdapter wifi{u"wlan0", u"Wi-Fi", Detail::AdapterType::WIRELESS, false, {u"10.0.0.2"}, {}};
    Detail::RawAdapter loop{u"lo", u"lo", Detail::AdapterType::OTHER, true, {u"127.0.0.1"}, {u"::1"}};
    const Stack<Detail::RawAdapter> raw{eth, wifi, loop};
    const auto names = [&raw](Flags<AdapterFlag> flags) {
        std::string text;
        for (const AdapterInfo& info : Detail::selectAdapters(raw, flags)) {
            text += utf8(info.mName) + "/" + utf8(info.mFriendlyName) + ":" +
                    concatenated(toVector(info.mAddresses), {}) + ";";
        }
        return text;
    };
    using F = AdapterFlag;
    EXPECT_EQ(names(Flags(F::IPV4) | F::ETHERNET), "eth0/Ethernet:10.0.0.1 ;");
    EXPECT_EQ(names(Flags(F::IPV6) | F::ETHERNET), "eth0/Ethernet:fe80::1 ;");
    EXPECT_EQ(names(Flags(F::IPV4) | F::IPV6 | F::ETHERNET | F::WIRELESS),
              "eth0/Ethernet:10.0.0.1 fe80::1 ;wlan0/Wi-Fi:10.0.0.2 ;");
    EXPECT_EQ(names(Flags(F::IPV4) | F::WIRELESS), "wlan0/Wi-Fi:10.0.0.2 ;");
    EXPECT_EQ(names(Flags(F::IPV4) | F::WIRELESS | F::ONLY_UP), "");
    EXPECT_EQ(names(Flags(F::IPV4) | F::ETHERNET | F::WIRELESS | F::ONLY_UP), "eth0/Ethernet:10.0.0.1 ;");
}

TEST(Memory, TheOutOfMemoryReportCarriesTheStatistics) {
    try {
        void* p = tolvanMalloc(SIZE_MAX / 2, 16);
        tolvanFree(p);
        FAIL() << "expected BadAlloc";
    } catch (const BadAlloc& e) {
        const std::string message = e.what();
        const size_t wanted = message.find("Wanted to allocate: ");
        const size_t statistics = message.find("\n\n", wanted);
        ASSERT_NE(wanted, std::string::npos);
        ASSERT_NE(statistics, std::string::npos);
        const std::string section = message.substr(statistics + 2);
        EXPECT_NE(section.find(" of virtualized* RAM used by application\n"), std::string::npos) << message;
        const std::string footnote = "\n* virtualized RAM means physical RAM + swap file on HDD/SSD\n\n";
        const size_t end = section.find(footnote);
        ASSERT_NE(end, std::string::npos) << message;
        const std::string rest = section.substr(end + footnote.size());
        EXPECT_TRUE(rest.empty() || rest.rfind("Stack trace:\n", 0) == 0) << rest;
    }
}
