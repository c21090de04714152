// The Linux sources of the monitors: /proc/meminfo and /proc/pressure/memory for low memory, cpufreq
// in /sys (else /proc/cpuinfo) for the processor's speed.
#include "tolvan/platform/monitors.h"

#include <fstream>
#include <sstream>
#include <string>

namespace Kalvex {

namespace {

// The value of the "<key>:" line of /proc/meminfo in bytes; 0 when missing.
uint64 readMemInfoBytes(const std::string& key) {
    std::ifstream in("/proc/meminfo");
    std::string name;
    uint64 kilobytes = 0;
    std::string unit;
    while (in >> name >> kilobytes) {
        std::getline(in, unit);
        if (name == key + ":") return kilobytes * 1024;
    }
    return 0;
}

// "full avg10=" of the memory pressure; -1 when the kernel does not report it.
double readFullStallPercent() {
    std::ifstream in("/proc/pressure/memory");
    for (std::string line; std::getline(in, line);) {
        const auto at = line.find("avg10=");
        if (line.starts_with("full") && at != std::string::npos) return std::stod(line.substr(at + 6));
    }
    return -1;
}

// A cpufreq value of cpu0 in MHz (the files hold kHz); 0 when missing.
double readCpuFreqMhz(const char* file) {
    std::ifstream in(std::string("/sys/devices/system/cpu/cpu0/cpufreq/") + file);
    double kilohertz = 0;
    return in >> kilohertz ? kilohertz / 1000.0 : 0.0;
}

// The mean of the "cpu MHz" lines; 0 when there are none.
double readCpuInfoMhz() {
    std::ifstream in("/proc/cpuinfo");
    double sum = 0;
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        const auto colon = line.find(':');
        if (!line.starts_with("cpu MHz") || colon == std::string::npos) continue;
        std::istringstream value(line.substr(colon + 1));
        double mhz = 0;
        if (value >> mhz) sum += mhz, ++count;
    }
    return count > 0 ? sum / count : 0.0;
}

} // namespace

bool Detail::readSystemMemoryLow() {
    try {
        return isSystemMemoryLow(readMemInfoBytes("MemAvailable"), readMemInfoBytes("MemTotal"),
                                 readFullStallPercent());
    } catch (...) {
        return false; // an unreadable state is not low memory
    }
}

Utils::CpuSpeedCounters Utils::Detail::readCpuSpeedCounters() {
    CpuSpeedCounters counters;
    const double maximum = readCpuFreqMhz("cpuinfo_max_freq");
    const double current = readCpuFreqMhz("scaling_cur_freq");
    if (maximum > 0 && current > 0) {
        // Nominal frequency, its share of the maximum, and the current speed's share of the maximum:
        // frequency / share × performance gives the current speed back.
        const double base = readCpuFreqMhz("base_frequency");
        const double nominal = base > 0 ? base : maximum;
        counters.processorFrequency = nominal;
        counters.percentOfMaximumFrequency = 100.0 * nominal / maximum;
        counters.percentProcessorPerformance = 100.0 * current / maximum;
        return counters;
    }
    const double mhz = readCpuInfoMhz();
    if (mhz > 0) {
        counters.processorFrequency = mhz;
        counters.percentOfMaximumFrequency = 100.0;
        counters.percentProcessorPerformance = 100.0;
    }
    return counters;
}

} // namespace Kalvex
