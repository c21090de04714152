// The portable part of the system information: decoding processor identification, the texts built
// from system answers, selecting network adapters, and the processor check at load.
#include "tolvan/platform/systeminfo.h"

#include "tolvan/containers/stringutils.h"
#include "tolvan/platform/dialog.h"

#include <atomic>
#include <cstdlib>

namespace Kalvex {

namespace {

constexpr bool bit(uint32 value, int index) noexcept {
    return ((value >> index) & 1u) != 0;
}

constexpr int MAX_CPU_NAME_LENGTH = 511;

// The value of `key` in an os-release text, its quotes and backslash escapes removed; empty when missing.
String findOsReleaseValue(const String& osRelease, const String& key) {
    const String prefix = key + String(u"=");
    for (String line : osRelease.explode(String(u"\n"), String::SKIP_EMPTY)) {
        line.trim();
        if (!line.startsWith(prefix)) continue;
        String value = line.getSubstr(prefix.length());
        const bool quoted = value.length() >= 2 && (value[0] == u'"' || value[0] == u'\'') &&
                            value[value.length() - 1] == value[0];
        if (!quoted) return value;
        String unquoted;
        for (int i = 1; i < value.length() - 1; ++i) {
            if (value[i] == u'\\' && i + 1 < value.length() - 1) ++i;
            unquoted.append(&value[i], 1);
        }
        return unquoted;
    }
    return String();
}

} // namespace

Flags<CpuFeatures> Detail::decodeCpuFeatures(const CpuIdResult& leaf1, const CpuIdResult& leaf7,
                                             uint64 xcr0) noexcept {
    Flags<CpuFeatures> features;
    const auto setIf = [&features](bool condition, CpuFeatures feature) {
        if (condition) features |= feature;
    };
    // The vector registers are usable only when the system enabled XSAVE/XGETBV (bits 26 and 27) and
    // saves the SSE and AVX state on task switches (XCR0 bits 1 and 2).
    const bool osSavesVectorState = bit(leaf1.ecx, 26) && bit(leaf1.ecx, 27) && (xcr0 & 0x6) == 0x6;
    setIf(bit(leaf1.ecx, 0), CpuFeatures::SSE3);
    setIf(bit(leaf1.ecx, 9), CpuFeatures::SSSE3);
    setIf(bit(leaf1.ecx, 19), CpuFeatures::SSE41);
    setIf(bit(leaf1.ecx, 20), CpuFeatures::SSE42);
    setIf(bit(leaf1.ecx, 28) && osSavesVectorState, CpuFeatures::AVX);
    setIf(bit(leaf7.ebx, 5) && osSavesVectorState, CpuFeatures::AVX2);
    setIf(bit(leaf7.ebx, 3), CpuFeatures::BMI1);
    setIf(bit(leaf7.ebx, 8), CpuFeatures::BMI2);
    setIf(bit(leaf1.ecx, 12), CpuFeatures::FMA);
    setIf(bit(leaf1.ecx, 29), CpuFeatures::F16C);
    setIf(bit(leaf1.ecx, 30), CpuFeatures::RDRAND);
    setIf(bit(leaf7.ebx, 4), CpuFeatures::HLE);
    return features;
}

CpuVendor Detail::decodeCpuVendor(const CpuIdResult& leaf0) noexcept {
    char text[12];
    for (int i = 0; i < 4; ++i) {
        text[i] = char(leaf0.ebx >> (8 * i));
        text[4 + i] = char(leaf0.edx >> (8 * i));
        text[8 + i] = char(leaf0.ecx >> (8 * i));
    }
    const std::string_view vendor(text, sizeof text);
    if (vendor == "GenuineIntel") return CpuVendor::INTEL;
    if (vendor == "AuthenticAMD" || vendor == "AMDisbetter!") return CpuVendor::AMD;
    return CpuVendor::UNKNOWN;
}

String Detail::reduceDoubleSpaces(String text) {
    while (text.replaceAll(String(u"  "), String(u" ")) > 0) {
    }
    return text.getSubstr(0, MAX_CPU_NAME_LENGTH);
}

String Detail::formatOsInfo(const String& osRelease, const String& kernelRelease) {
    String name = findOsReleaseValue(osRelease, String(u"NAME"));
    if (name.isEmpty()) {
        name = findOsReleaseValue(osRelease, String(u"PRETTY_NAME"));
        if (name.isEmpty()) name = String(u"Linux");
    } else {
        const String version = findOsReleaseValue(osRelease, String(u"VERSION_ID"));
        if (!version.isEmpty()) name += String(u" ") + version;
    }
    if (kernelRelease.isEmpty()) return name;
    return name + String(u" (") + kernelRelease + String(u")");
}

String Detail::formatMemoryStatistics(const String& applicationName,
                                      const Expected<uint64, String>& processUsed,
                                      const Expected<uint64, String>& systemUsed,
                                      const Expected<uint64, String>& physical,
                                      const Expected<uint64, String>& systemVirtual) {
    return Str::getFormattedMemorySize(processUsed) + String(u" of virtualized* RAM used by ") +
           applicationName + String(u"\n") + Str::getFormattedMemorySize(systemUsed) +
           String(u" of virtualized* RAM used by all running applications\n") +
           Str::getFormattedMemorySize(physical) + String(u" of physical RAM installed on system\n") +
           Str::getFormattedMemorySize(systemVirtual) + String(u" of virtualized* RAM provided by OS\n") +
           String(u"\n* virtualized RAM means physical RAM + swap file on HDD/SSD\n");
}

String getFormattedMemoryStatistics(const String& applicationName) {
    return Detail::formatMemoryStatistics(applicationName, getProcessUsedVirtualMemory(),
                                          getSystemUsedVirtualMemory(), getSystemPhysicalMemorySize(),
                                          getSystemVirtualMemorySize());
}

GpuVendor Detail::classifyGpuVendor(uint32 pciVendorId) noexcept {
    switch (pciVendorId) {
    case 0x10DE: // NVIDIA
        return GpuVendor::NVIDIA;
    case 0x1002: // AMD (ATI)
    case 0x1022: // AMD
        return GpuVendor::AMD;
    default:
        return GpuVendor::OTHER;
    }
}

Stack<AdapterInfo> Detail::selectAdapters(const Stack<RawAdapter>& adapters, Flags<AdapterFlag> flags) {
    Stack<AdapterInfo> result;
    for (const RawAdapter& adapter : adapters) {
        if (flags.has(AdapterFlag::ONLY_UP) && !adapter.mIsUp) continue;
        const bool kept = (flags.has(AdapterFlag::ETHERNET) && adapter.mType == AdapterType::ETHERNET) ||
                          (flags.has(AdapterFlag::WIRELESS) && adapter.mType == AdapterType::WIRELESS);
        if (!kept) continue;
        AdapterInfo info{adapter.mName, adapter.mFriendlyName, {}};
        if (flags.has(AdapterFlag::IPV4)) info.mAddresses.pushAll(adapter.mIpv4Addresses);
        if (flags.has(AdapterFlag::IPV6)) info.mAddresses.pushAll(adapter.mIpv6Addresses);
        result.push(std::move(info));
    }
    return result;
}

// ---------------------------------------------------------------------------------------------------
// The processor check at load

bool Detail::checkProcessorFeatures(Flags<CpuFeatures> features) {
    if (features.has(CpuFeatures::SSE41)) return true;
    // The library's own state outlives every failed attempt in this process: the first one shows the
    // message, later ones only fail.
    static std::atomic<bool> messageShown{false};
    if (!messageShown.exchange(true)) {
        showCriticalErrorMessage(
            String(u"Application error"),
            String(u"Your processor doesn't support required features (SSE 4.1). Kalvex "
                   u"Renderer won't work on this PC. Contact our support for more info."));
    }
    return false;
}

namespace {

// Runs before the library's ordinary static initialisers. A shared library's initialiser cannot make
// its loading fail, so a refused processor ends the process after the message.
__attribute__((constructor(101))) void checkProcessorAtLoad() {
    if (!Detail::checkProcessorFeatures(getCpuFeatures())) std::_Exit(EXIT_FAILURE);
}

} // namespace

} // namespace Kalvex
