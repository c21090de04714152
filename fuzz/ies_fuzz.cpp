// Arbitrary text through the IES parser: it fails only with Exception, never reads outside the text
// or its tables, and what it accepts answers intensity queries in every direction.
#include "tolvan/io/stream.h"
#include "tolvan/io/textstream.h"
#include "tolvan/utility/ies.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

using namespace Kalvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        Io::TextInputStream in(makeAutoPtr<Io::MemoryInputStream>(data, int64(size)), Io::TextEncoding::Utf8);
        const IesLight light = IesParser::parseIesLight(in);
        const auto& distribution = *light.getDistribution();
        const Dir directions[] = {Dir::DOWN, Dir::UP, Dir(1, 0, 0), Dir::normalized(-1, 2, 0.5f),
                                  Dir::normalized(0.3f, -0.2f, -1)};
        for (const Dir& d : directions)
            (void)distribution.getIntensity(d);
        const Pixel resolution = distribution.getProposedResolution();
        if (resolution.x < 0 || resolution.y < 0 || resolution.x > 10000 || resolution.y > 10000)
            std::abort();
        if (int64(resolution.x) * resolution.y <= 4096) (void)distribution.getMeanCosine(Dir::DOWN);
    } catch (const Exception&) {
    }
    return 0;
}
