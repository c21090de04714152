// A short tour of TolvanLib: strings, containers and the allocator's statistics.
#include "tolvan/tolvan.h"

#include <iostream>

using namespace Kalvex;

int main() {
    const int64 before = getTolvanAllocatedMemory();

    String scene = String::fromUtf8("Szene “Küche” 🍳");
    std::cout << "String: " << scene << " (" << scene.length() << " UTF-16 units, " << scene.toUtf8().length()
              << " UTF-8 bytes)\n";

    String path = u"C:/renders/final/frame_0001.exr";
    Stack<String> parts = path.explode(u"/");
    std::cout << "explode(\"/\"):";
    for (const String& p : parts)
        std::cout << " [" << p << "]";
    std::cout << "\n";

    String name = String(u"3d view-1");
    std::cout << "toIdentifier: " << name.toIdentifier() << ", quoted: " << name.quoted() << "\n";

    Stack<int> numbers;
    std::cout << "Stack capacities:";
    for (int i = 0; i < 8; ++i) {
        numbers.push(i);
        std::cout << " " << numbers.capacity();
    }
    std::cout << "\n";

    SharedPtr<String> shared = makeShared<String>(u"shared text");
    WeakPtr<String> weak = shared;
    std::cout << "SharedPtr use count: " << shared.getUseCount() << ", weak alive: " << !weak.isExpired()
              << "\n";
    shared.reset();
    std::cout << "after reset, weak promotes: " << bool(weak.lock()) << "\n";

    Optional<String> nothing;
    try {
        (void)nothing.value();
    } catch (const Exception& e) {
        std::cout << "Optional: " << e.what() << "\n";
    }

    std::cout << "Allocator: " << getTolvanAllocatedMemory() - before << " bytes held by this demo now, peak "
              << getPeakTolvanAllocatedMemory() << " bytes, " << getTolvanMallocCallCount() << " calls\n";
    return 0;
}
