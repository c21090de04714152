// System information: processor identification and features, processor topology, the computer's and
// the operating system's names, memory sizes of the system and of this process with a ready-made
// memory report, the graphics vendors present and the network adapters with their addresses. The
// library also checks the processor when it is loaded and refuses to run without SSE 4.1.
//
//   if (getCpuFeatures().has(CpuFeatures::AVX2)) useAvx2Kernel();
//   debugPrint(getFormattedMemoryStatistics(u"Renderer"));
//   auto adapters = getNetworkAdapters(Flags(AdapterFlag::IPV4) | AdapterFlag::ETHERNET);
//
// On Linux the answers come from CPUID/XGETBV, /proc, /sys, /etc/os-release, uname and getifaddrs
// (see docs/PLATFORM.md for which source answers each query).
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/expected.h"
#include "tolvan/containers/flags.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"

namespace Kalvex {

/// The four registers the processor's identification instruction returns.
struct CpuIdResult {
    /// The EAX register.
    uint32 eax = 0;
    /// The EBX register.
    uint32 ebx = 0;
    /// The ECX register.
    uint32 ecx = 0;
    /// The EDX register.
    uint32 edx = 0;
};

/// Instruction-set extensions of the processor.
enum class CpuFeatures : uint32 {
    SSE3 = 1u << 0,
    SSSE3 = 1u << 1,
    SSE41 = 1u << 2,
    SSE42 = 1u << 3,
    AVX = 1u << 4,
    AVX2 = 1u << 5,
    BMI1 = 1u << 6,
    BMI2 = 1u << 7,
    FMA = 1u << 8,
    F16C = 1u << 9,
    RDRAND = 1u << 10,
    HLE = 1u << 11,
};
KALVEX_DECLARE_FLAGS(CpuFeatures)

/// The processor's maker.
enum class CpuVendor { UNKNOWN = 0, INTEL = 1, AMD = 2 };

/// Makers of the graphics adapters in the machine.
enum class GpuVendor : uint32 {
    OTHER = 1u << 0,
    NVIDIA = 1u << 1,
    AMD = 1u << 2,
};
KALVEX_DECLARE_FLAGS(GpuVendor)

/// Counts of the machine's processors: packages, cores and logical processors.
struct SystemProcessorInformation {
    /// Physical processor packages (sockets).
    uint32 mPackageCount = 0;
    /// Physical cores.
    uint32 mCoreCount = 0;
    /// Logical processors (hardware threads).
    uint32 mLogicalProcessorCount = 0;
};

/// Which network adapters and addresses to list.
enum class AdapterFlag : uint32 {
    IPV4 = 1u << 0,
    IPV6 = 1u << 1,
    ONLY_UP = 1u << 2,
    ETHERNET = 1u << 3,
    WIRELESS = 1u << 4,
};
KALVEX_DECLARE_FLAGS(AdapterFlag)

/// One network adapter: its names and its addresses.
struct AdapterInfo {
    /// The platform's identifier of the adapter (the interface name on Linux).
    String mName;
    /// The name shown to users (the interface alias when one is set, else the interface name).
    String mFriendlyName;
    /// Unicast addresses in text form, in the platform's order.
    Stack<String> mAddresses;
};

// Processor

/// The processor's identification instruction (CPUID) for `leaf` and `subLeaf`.
[[nodiscard]] CpuIdResult cpuId(int leaf, int subLeaf);
/// The instruction-set features of this processor; AVX and AVX2 only when the operating system saves
/// the vector state.
[[nodiscard]] Flags<CpuFeatures> getCpuFeatures();
/// INTEL for "GenuineIntel", AMD for "AuthenticAMD" or "AMDisbetter!", else UNKNOWN.
[[nodiscard]] CpuVendor getCpuVendor();
/// The processor's marketing name with every run of spaces reduced to one (at most 511 characters);
/// empty when the processor does not tell. Computed once per process.
[[nodiscard]] String getCpuInfo();
/// Packages, cores and logical processors; counts that cannot be read are 0 (the logical processor
/// count is at least 1).
[[nodiscard]] SystemProcessorInformation getSystemProcessorInformation();

// Names

/// The computer's name (the host name up to its first ".", at most 15 characters); "[---]" when it
/// cannot be read. Computed once per process.
[[nodiscard]] String getComputerName();
/// The operating system as "name (version)", for example "Debian GNU/Linux 12 (6.1.0-18-amd64)": the
/// distribution's name and version, then the kernel release. Always a value.
[[nodiscard]] Expected<String, String> getOsInfoString();

// Memory: every size in bytes; the error is the text of the failed system query.

/// Total physical memory.
[[nodiscard]] Expected<uint64, String> getSystemPhysicalMemorySize();
/// The memory the system can hand out: physical memory plus swap.
[[nodiscard]] Expected<uint64, String> getSystemVirtualMemorySize();
/// The part of getSystemVirtualMemorySize in use: physical memory not available plus swap in use.
[[nodiscard]] Expected<uint64, String> getSystemUsedVirtualMemory();
/// This process's private memory: its anonymous resident pages plus its pages in swap.
[[nodiscard]] Expected<uint64, String> getProcessUsedVirtualMemory();
/// The peak of this process's memory (its peak resident set, at least the current private memory).
[[nodiscard]] Expected<uint64, String> getProcessPeakUsedVirtualMemory();
/// The five-line memory report: this process, all applications, physical memory, the system's total
/// and the footnote; a failed query shows as "<ERROR: ...>" in its line.
[[nodiscard]] String getFormattedMemoryStatistics(const String& applicationName);

// Devices and network

/// The vendors of the display devices present; no flags without a display device.
[[nodiscard]] Flags<GpuVendor> getGpuVendors();
/// The IPv4 address (dotted text) that the computer's full host name resolves to; empty when it does
/// not resolve to one.
[[nodiscard]] String getLocalIpAddress();
/// The Ethernet (ETHERNET) and wireless (WIRELESS) adapters with their IPV4 and/or IPV6 unicast
/// addresses, only those that are up with ONLY_UP; without IPV4 and IPV6 an empty list at once. The
/// error is the text of the failed system query.
[[nodiscard]] Expected<Stack<AdapterInfo>, String> getNetworkAdapters(Flags<AdapterFlag> flags);

namespace Detail {

/// The features from CPUID leaf 1, leaf 7 sub-leaf 0 and extended control register 0 (read only when
/// leaf 1 says the operating system enabled XGETBV, so pass 0 otherwise).
[[nodiscard]] Flags<CpuFeatures> decodeCpuFeatures(const CpuIdResult& leaf1, const CpuIdResult& leaf7,
                                                   uint64 xcr0) noexcept;
/// The vendor from CPUID leaf 0 (the text in EBX, EDX, ECX).
[[nodiscard]] CpuVendor decodeCpuVendor(const CpuIdResult& leaf0) noexcept;
/// `text` with every "  " reduced until none is left, cut to 511 characters.
[[nodiscard]] String reduceDoubleSpaces(String text);
/// "name (version)" from the contents of an os-release file and the kernel release: the name is NAME
/// and VERSION_ID (PRETTY_NAME, else "Linux", when NAME is missing); " (...)" only with a release.
[[nodiscard]] String formatOsInfo(const String& osRelease, const String& kernelRelease);
/// The memory report from the four sizes (see getFormattedMemoryStatistics).
[[nodiscard]] String formatMemoryStatistics(const String& applicationName,
                                            const Expected<uint64, String>& processUsed,
                                            const Expected<uint64, String>& systemUsed,
                                            const Expected<uint64, String>& physical,
                                            const Expected<uint64, String>& systemVirtual);
/// The GPU vendor of a PCI vendor identifier.
[[nodiscard]] GpuVendor classifyGpuVendor(uint32 pciVendorId) noexcept;

enum class AdapterType { OTHER, ETHERNET, WIRELESS };

/// One network interface as the system lists it.
struct RawAdapter {
    String mName;
    String mFriendlyName;
    AdapterType mType = AdapterType::OTHER;
    bool mIsUp = false;
    /// Unicast addresses in text form, by family, in the system's order.
    Stack<String> mIpv4Addresses;
    Stack<String> mIpv6Addresses;
};
/// The adapters of `adapters` that `flags` keep, with the addresses of the families `flags` ask for.
[[nodiscard]] Stack<AdapterInfo> selectAdapters(const Stack<RawAdapter>& adapters, Flags<AdapterFlag> flags);

/// The processor check run when the library is loaded: true when `features` includes SSE41. Otherwise
/// shows the critical "Application error" message the first time in this process (later failing
/// checks show nothing) and returns false.
bool checkProcessorFeatures(Flags<CpuFeatures> features);

} // namespace Detail

} // namespace Kalvex
