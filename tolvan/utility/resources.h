// Files embedded in a program module, made available as ordinary files: each is extracted on first
// request into a private temporary directory, and everything extracted is deleted with the object.
//
//   Resources resources;
//   if (Optional<Io::Path> logo = resources.getResourcePath(u"logo.png")) showImage(*logo);
#pragma once

#include "tolvan/common/object.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/stack.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/path.h"

namespace Kalvex {

/// Extracts the file resources of one module on demand. Used by one thread at a time.
class Resources : public Noncopyable {
public:
    /// Reads the resources of `module` (empty: the executable) into a new randomly named directory
    /// under `temporaryRoot`, plus "Resources". Throws Exception("Could not create temporary resources
    /// directory.") when the random directory cannot be created.
    Resources(const Io::Path& module, const Io::Path& temporaryRoot);
    /// The executable's resources, under the standard temporary directory.
    Resources();
    /// Removes the extracted files, the extraction directory and the random directory (ignoring failures).
    ~Resources();

    /// The path of the extracted resource `name`, extracting it on the first request; empty when the
    /// module has no such resource. Throws the file stream's Exception when the file cannot be written.
    [[nodiscard]] Optional<Io::Path> getResourcePath(const String& name);

private:
    Io::Path mDirectory;
    Stack<Io::Path> mExtracted;
    Io::Path mModule;
};

} // namespace Kalvex
