#include "tolvan/utility/resources.h"

#include "tolvan/common/exception.h"
#include "tolvan/io/filesystem.h"
#include "tolvan/io/stream.h"
#include "tolvan/winapi/resources.h"

namespace Kalvex {

namespace {

Io::Path getStandardTemporaryRoot() {
    const Expected<Io::Path, String> root = Io::StandardPaths::temporary();
    return root.hasValue() ? root.value() : Io::Path();
}

} // namespace

Resources::Resources(const Io::Path& module, const Io::Path& temporaryRoot)
    : mModule(module) {
    const Expected<Io::Path, String> random = Io::createRandomNamedDirectory(temporaryRoot);
    if (!random.hasValue()) throw Exception("Could not create temporary resources directory.");
    mDirectory = random.value() / u"Resources";
    (void)Io::createDirs(mDirectory);
}

Resources::Resources()
    : Resources(Io::Path(), getStandardTemporaryRoot()) {}

Resources::~Resources() {
    for (int i = 0; i < mExtracted.size(); ++i)
        (void)Io::removeFile(mExtracted[i]);
    (void)Io::removeDir(mDirectory);
    (void)Io::removeDir(mDirectory.parentDirectory());
}

Optional<Io::Path> Resources::getResourcePath(const String& name) {
    for (int i = 0; i < mExtracted.size(); ++i) {
        if (mExtracted[i].fileName() == name) return mDirectory / name;
    }
    const WinApi::ModuleHandle module = WinApi::getModuleHandle(mModule);
    if (!mModule.isEmpty() && !module) return NONE;
    const Optional<ArrayView<const std::byte>> data = WinApi::getFileResourceData(module, name);
    if (!data.hasValue()) return NONE;
    const Io::Path path = mDirectory / name;
    mExtracted.push(path);
    Io::FileOutputStream out(path);
    out.write(data->data(), int64(data->size()));
    out.close();
    return path;
}

} // namespace Kalvex
