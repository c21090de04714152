// System information on Linux: CPUID and XGETBV, /proc/cpuinfo, /proc/meminfo, /proc/self/status,
// the topology and PCI devices in /sys, /etc/os-release, uname, the host name and getifaddrs.
#include "tolvan/platform/systeminfo.h"

#include "tolvan/thread/thread.h"
#include "tolvan/winapi/winapi.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cpuid.h>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace Kalvex {

namespace {

// The whole file as bytes; empty with errno set when it cannot be read.
Optional<std::string> readTextFile(const char* path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return NONE;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The first line of a small /sys or /proc file, without its line break; empty when unreadable.
std::string readFirstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

uint64 readXcr0() noexcept {
    uint32 eax = 0;
    uint32 edx = 0;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (uint64(edx) << 32) | eax;
}

// The processor's brand string from the extended CPUID leaves; empty when the processor has none.
std::string readBrandString() {
    if (__get_cpuid_max(0x80000000u, nullptr) < 0x80000004u) return std::string();
    std::string brand;
    for (uint32 leaf = 0x80000002u; leaf <= 0x80000004u; ++leaf) {
        const CpuIdResult r = cpuId(int(leaf), 0);
        for (const uint32 reg : {r.eax, r.ebx, r.ecx, r.edx}) {
            for (int i = 0; i < 4; ++i)
                brand.push_back(char(reg >> (8 * i)));
        }
    }
    brand.resize(std::strlen(brand.c_str()));
    return brand;
}

// The "model name" of the first processor in /proc/cpuinfo.
std::string readCpuInfoModelName() {
    std::ifstream file("/proc/cpuinfo");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind("model name", 0) != 0) continue;
        const size_t colon = line.find(':');
        if (colon != std::string::npos) return line.substr(colon + 1);
    }
    return std::string();
}

String computeCpuInfo() {
    std::string name = readBrandString();
    if (name.find_first_not_of(' ') == std::string::npos) name = readCpuInfoModelName();
    String text = String::fromUtf8(name);
    text.trim();
    return Detail::reduceDoubleSpaces(text);
}

// The names of the entries in `directory` that start with `prefix` and continue with a digit (every
// entry but "." and ".." for an empty prefix).
Stack<std::string> listNumberedEntries(const char* directory, const char* prefix) {
    Stack<std::string> names;
    DIR* dir = opendir(directory);
    if (!dir) return names;
    const size_t prefixLength = std::strlen(prefix);
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        const bool numbered = name[prefixLength] >= '0' && name[prefixLength] <= '9';
        if (std::strncmp(name, prefix, prefixLength) == 0 &&
            (numbered || (prefixLength == 0 && *name != '.'))) {
            names.push(name);
        }
    }
    closedir(dir);
    return names;
}

// A size line of /proc/meminfo or /proc/self/status ("MemTotal:   16318464 kB") in bytes.
Optional<uint64> findSizeValue(const std::string& text, const char* key) {
    const std::string label = std::string("\n") + key + ":";
    const std::string padded = "\n" + text;
    const size_t at = padded.find(label);
    if (at == std::string::npos) return NONE;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(padded.c_str() + at + label.size(), &end, 10);
    while (*end == ' ')
        ++end;
    const uint64 unit = std::strncmp(end, "kB", 2) == 0 ? 1024 : 1;
    return uint64(value) * unit;
}

// The named sizes of a /proc file, summed; the error tells which file or value failed.
Expected<uint64, String> readSizeSum(const char* path, std::initializer_list<const char*> keys) {
    const Optional<std::string> text = readTextFile(path);
    if (!text) return makeUnexpected(WinApi::getLastErrorMessage());
    uint64 sum = 0;
    for (const char* key : keys) {
        const Optional<uint64> value = findSizeValue(*text, key);
        if (!value) {
            return makeUnexpected(String::fromUtf8(path) + String(u" has no value ") +
                                  String::fromAscii(key));
        }
        sum += *value;
    }
    return sum;
}

Expected<uint64, String> subtract(const Expected<uint64, String>& total,
                                  const Expected<uint64, String>& part) {
    if (!total) return total;
    if (!part) return part;
    return total.value() - std::min(total.value(), part.value());
}

std::string getHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return std::string();
    return name;
}

String computeComputerName() {
    std::string name = getHostName();
    name = name.substr(0, name.find('.'));
    if (name.empty()) return String(u"[---]");
    return String::fromUtf8(name.substr(0, 15));
}

// The PCI vendor of a display device (class 0x03....), or NONE for another device.
Optional<uint32> readDisplayDeviceVendor(const std::string& device) {
    const std::string pciClass = readFirstLine(device + "/class");
    if (pciClass.size() < 4 || pciClass.compare(0, 4, "0x03") != 0) return NONE;
    const std::string vendor = readFirstLine(device + "/vendor");
    if (vendor.empty()) return NONE;
    return uint32(std::strtoul(vendor.c_str(), nullptr, 16));
}

Detail::AdapterType readAdapterType(const std::string& name) {
    const std::string base = "/sys/class/net/" + name;
    if (access((base + "/wireless").c_str(), F_OK) == 0 || access((base + "/phy80211").c_str(), F_OK) == 0) {
        return Detail::AdapterType::WIRELESS;
    }
    // ARPHRD_ETHER: Ethernet and the virtual interfaces that act as Ethernet.
    return readFirstLine(base + "/type") == "1" ? Detail::AdapterType::ETHERNET : Detail::AdapterType::OTHER;
}

Detail::RawAdapter& findOrAddAdapter(Stack<Detail::RawAdapter>& adapters, const ifaddrs& entry) {
    const String name = String::fromUtf8(entry.ifa_name);
    for (Detail::RawAdapter& adapter : adapters) {
        if (adapter.mName == name) return adapter;
    }
    Detail::RawAdapter& adapter = adapters.push(Detail::RawAdapter{});
    adapter.mName = name;
    const std::string alias = readFirstLine(std::string("/sys/class/net/") + entry.ifa_name + "/ifalias");
    adapter.mFriendlyName = alias.empty() ? name : String::fromUtf8(alias);
    adapter.mType = readAdapterType(entry.ifa_name);
    adapter.mIsUp = (entry.ifa_flags & IFF_UP) && (entry.ifa_flags & IFF_RUNNING);
    return adapter;
}

void addAddress(Detail::RawAdapter& adapter, const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
        adapter.mIpv4Addresses.push(String::fromAscii(text));
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
        adapter.mIpv6Addresses.push(String::fromAscii(text));
    }
}

// Every interface in the system's order (the link entries come first, by interface index) with its
// unicast addresses; link-layer entries carry no address of their own.
Expected<Stack<Detail::RawAdapter>, String> queryAdapters() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return makeUnexpected(WinApi::getErrorMessage(uint32(errno)));
    Stack<Detail::RawAdapter> adapters;
    try {
        for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
            if (!entry->ifa_name) continue;
            Detail::RawAdapter& adapter = findOrAddAdapter(adapters, *entry);
            if (entry->ifa_addr) addAddress(adapter, entry->ifa_addr);
        }
    } catch (...) {
        freeifaddrs(list);
        throw;
    }
    freeifaddrs(list);
    return adapters;
}

} // namespace

CpuIdResult cpuId(int leaf, int subLeaf) {
    CpuIdResult r;
    __cpuid_count(uint32(leaf), uint32(subLeaf), r.eax, r.ebx, r.ecx, r.edx);
    return r;
}

Flags<CpuFeatures> getCpuFeatures() {
    const uint32 maxLeaf = cpuId(0, 0).eax;
    const CpuIdResult leaf1 = maxLeaf >= 1 ? cpuId(1, 0) : CpuIdResult{};
    const CpuIdResult leaf7 = maxLeaf >= 7 ? cpuId(7, 0) : CpuIdResult{};
    // XGETBV faults unless the system enabled it (OSXSAVE, leaf 1 ECX bit 27).
    const uint64 xcr0 = (leaf1.ecx >> 27) & 1u ? readXcr0() : 0;
    return Detail::decodeCpuFeatures(leaf1, leaf7, xcr0);
}

CpuVendor getCpuVendor() {
    return Detail::decodeCpuVendor(cpuId(0, 0));
}

String getCpuInfo() {
    static const String name = computeCpuInfo();
    return name;
}

SystemProcessorInformation getSystemProcessorInformation() {
    // A package per distinct package id, a core per distinct set of hardware threads sharing it.
    std::set<std::string> packages;
    std::set<std::string> cores;
    for (const std::string& cpu : listNumberedEntries("/sys/devices/system/cpu", "cpu")) {
        const std::string topology = "/sys/devices/system/cpu/" + cpu + "/topology/";
        const std::string package = readFirstLine(topology + "physical_package_id");
        const std::string core = readFirstLine(topology + "thread_siblings_list");
        if (!package.empty()) packages.insert(package);
        if (!core.empty()) cores.insert(core);
    }
    return SystemProcessorInformation{uint32(packages.size()), uint32(cores.size()),
                                      uint32(Utils::getLogicalProcessorCount())};
}

String getComputerName() {
    static const String name = computeComputerName();
    return name;
}

Expected<String, String> getOsInfoString() {
    Optional<std::string> osRelease = readTextFile("/etc/os-release");
    if (!osRelease) osRelease = readTextFile("/usr/lib/os-release");
    utsname system{};
    const String release = uname(&system) == 0 ? String::fromUtf8(system.release) : String();
    return Detail::formatOsInfo(osRelease ? String::fromUtf8(*osRelease) : String(), release);
}

Expected<uint64, String> getSystemPhysicalMemorySize() {
    return readSizeSum("/proc/meminfo", {"MemTotal"});
}

Expected<uint64, String> getSystemVirtualMemorySize() {
    return readSizeSum("/proc/meminfo", {"MemTotal", "SwapTotal"});
}

Expected<uint64, String> getSystemUsedVirtualMemory() {
    return subtract(getSystemVirtualMemorySize(), readSizeSum("/proc/meminfo", {"MemAvailable", "SwapFree"}));
}

Expected<uint64, String> getProcessUsedVirtualMemory() {
    return readSizeSum("/proc/self/status", {"RssAnon", "VmSwap"});
}

Expected<uint64, String> getProcessPeakUsedVirtualMemory() {
    const Expected<uint64, String> peak = readSizeSum("/proc/self/status", {"VmHWM"});
    const Expected<uint64, String> used = getProcessUsedVirtualMemory();
    if (!peak || !used) return peak ? used : peak;
    return std::max(peak.value(), used.value());
}

Flags<GpuVendor> getGpuVendors() {
    Flags<GpuVendor> vendors;
    const char* const root = "/sys/bus/pci/devices";
    for (const std::string& device : listNumberedEntries(root, "")) {
        const Optional<uint32> vendor = readDisplayDeviceVendor(std::string(root) + "/" + device);
        if (vendor) vendors |= Detail::classifyGpuVendor(*vendor);
    }
    return vendors;
}

String getLocalIpAddress() {
    const std::string host = getHostName();
    if (host.empty()) return String();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || !result) return String();
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr, text, sizeof text);
    freeaddrinfo(result);
    return String::fromAscii(text);
}

Expected<Stack<AdapterInfo>, String> getNetworkAdapters(Flags<AdapterFlag> flags) {
    if (!flags.has(AdapterFlag::IPV4) && !flags.has(AdapterFlag::IPV6)) return Stack<AdapterInfo>();
    Expected<Stack<Detail::RawAdapter>, String> adapters = queryAdapters();
    if (!adapters) return makeUnexpected(adapters.error());
    return Detail::selectAdapters(adapters.value(), flags);
}

} // namespace Kalvex
