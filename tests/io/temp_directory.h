// The stream tests' temporary directory per test, with helpers that build files, folders and links in it
// with plain system calls (not with the functions under test). An empty name stands for the directory.
#pragma once

#include "io/stream_support.h"
#include "tolvan/io/path.h"

#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace TestSupport {

class TempDirectoryTest : public TolvanTest::TempDirTest {
protected:
    [[nodiscard]] std::string native(const std::string& name) const {
        return name.empty() ? mDir : mDir + "/" + name;
    }
    [[nodiscard]] Kalvex::Io::Path path(const std::string& name = "") const {
        return Kalvex::Io::Path(Kalvex::String::fromUtf8(native(name).c_str()));
    }
    void write(const std::string& name, const std::string& content) const { writeFile(name, content); }
    /// The file's content, or "<missing>".
    [[nodiscard]] std::string read(const std::string& name) const {
        return exists(name) ? readFile(name) : std::string("<missing>");
    }
    void makeDir(const std::string& name) const { ASSERT_EQ(::mkdir(native(name).c_str(), 0755), 0) << name; }
    void makeLink(const std::string& target, const std::string& name) const {
        ASSERT_EQ(::symlink(target.c_str(), native(name).c_str()), 0) << name;
    }
    [[nodiscard]] bool exists(const std::string& name) const {
        struct stat info;
        return ::lstat(native(name).c_str(), &info) == 0;
    }
};

} // namespace TestSupport
