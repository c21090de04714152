// tolvan sysinfo: the processor, its features, the memory report, the operating system and the
// network adapters, as the library sees them.
#include "command.h"

#include "tolvan/containers/stringutils.h"
#include "tolvan/platform/systeminfo.h"

#include <cstdio>
#include <string>

namespace Kalvex::Tools {

namespace {

struct FeatureName {
    CpuFeatures feature;
    const char* name;
};

constexpr FeatureName FEATURE_NAMES[] = {
    {CpuFeatures::SSE3, "SSE3"},    {CpuFeatures::SSSE3, "SSSE3"},   {CpuFeatures::SSE41, "SSE4.1"},
    {CpuFeatures::SSE42, "SSE4.2"}, {CpuFeatures::AVX, "AVX"},       {CpuFeatures::AVX2, "AVX2"},
    {CpuFeatures::BMI1, "BMI1"},    {CpuFeatures::BMI2, "BMI2"},     {CpuFeatures::FMA, "FMA"},
    {CpuFeatures::F16C, "F16C"},    {CpuFeatures::RDRAND, "RDRAND"}, {CpuFeatures::HLE, "HLE"},
};

const char* vendorName(CpuVendor vendor) {
    switch (vendor) {
    case CpuVendor::INTEL:
        return "Intel";
    case CpuVendor::AMD:
        return "AMD";
    default:
        return "unknown";
    }
}

std::string orError(const Expected<String, String>& value) {
    return utf8(value ? *value : u"<ERROR: " + value.error() + u">");
}

void printAdapters() {
    const Expected<Stack<AdapterInfo>, String> adapters = getNetworkAdapters(
        AdapterFlag::IPV4 | AdapterFlag::IPV6 | AdapterFlag::ETHERNET | AdapterFlag::WIRELESS);
    if (!adapters) {
        std::printf("Adapters: <ERROR: %s>\n", utf8(adapters.error()).c_str());
        return;
    }
    std::printf("Adapters: %d\n", int(adapters->size()));
    for (const AdapterInfo& adapter : *adapters) {
        std::string addresses;
        for (const String& address : adapter.mAddresses)
            addresses += (addresses.empty() ? "" : ", ") + utf8(address);
        std::printf("    %s (%s): %s\n", utf8(adapter.mName).c_str(), utf8(adapter.mFriendlyName).c_str(),
                    addresses.empty() ? "no address" : addresses.c_str());
    }
}

} // namespace

int runSysinfo(ArrayView<const String> words) {
    CommandLine::Parser parser;
    (void)parseWords(parser, words, 0, 0);
    const SystemProcessorInformation processors = getSystemProcessorInformation();
    std::printf("Processor: %s\n", utf8(getCpuInfo()).c_str());
    std::printf("Vendor: %s\n", vendorName(getCpuVendor()));
    std::printf("Topology: %u packages, %u cores, %u logical processors\n",
                unsigned(processors.mPackageCount), unsigned(processors.mCoreCount),
                unsigned(processors.mLogicalProcessorCount));
    std::string features;
    const Flags<CpuFeatures> present = getCpuFeatures();
    for (const FeatureName& entry : FEATURE_NAMES) {
        if (!present.has(entry.feature)) continue;
        if (!features.empty()) features += ' ';
        features += entry.name;
    }
    std::printf("Features: %s\n", features.c_str());
    std::printf("Computer: %s\n", utf8(getComputerName()).c_str());
    std::printf("Operating system: %s\n", orError(getOsInfoString()).c_str());
    std::printf("Physical memory: %s\n",
                utf8(Str::getFormattedMemorySize(getSystemPhysicalMemorySize())).c_str());
    std::printf("Memory statistics:\n%s\n", utf8(getFormattedMemoryStatistics(u"tolvan")).c_str());
    printAdapters();
    return EXIT_OK;
}

} // namespace Kalvex::Tools
