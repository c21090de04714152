// Uses a few components through the umbrella header, so every installed header has to compile
// outside the source tree, and prints results the test compares with other programs' output.
#include "tolvan/tolvan.h"

#include <cstdio>

using namespace Kalvex;

int main(int argc, char** argv) {
    if (!Lib::startup()) return 1;
    const char* text = argc > 1 ? argv[1] : "TolvanLib";
    const String md5 = getMd5AsString(text);
    const Io::Path path = Io::Path(u"C:\\Renders") / u"frame.exr";
    std::printf("md5 %s\n", md5.toUtf8().cStr());
    std::printf("path %s\n", path.genericStr().toUtf8().cStr());
    Lib::shutdown();
    return 0;
}
