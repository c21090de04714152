// A fresh temporary directory per test, removed with everything in it afterwards, and helpers that
// build files and folders in it with plain system calls (not with the functions under test).
#pragma once

#include "tolvan/io/path.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace TestSupport {

class TempDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvan_fsops_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        mDir = pattern;
    }
    void TearDown() override {
        // chmod first, so a test that removed permissions does not leave the tree behind.
        std::system(("chmod -R u+rwx '" + mDir + "' 2>/dev/null; rm -rf '" + mDir + "'").c_str());
    }

    [[nodiscard]] std::string native(const std::string& name) const {
        return name.empty() ? mDir : mDir + "/" + name;
    }
    [[nodiscard]] Kalvex::Io::Path path(const std::string& name = "") const {
        return Kalvex::Io::Path(Kalvex::String::fromUtf8(native(name).c_str()));
    }
    void write(const std::string& name, const std::string& content) const {
        FILE* f = std::fopen(native(name).c_str(), "wb");
        ASSERT_NE(f, nullptr) << name;
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    [[nodiscard]] std::string read(const std::string& name) const {
        std::string content;
        FILE* f = std::fopen(native(name).c_str(), "rb");
        if (!f) return "<missing>";
        char buffer[4096];
        while (const size_t n = std::fread(buffer, 1, sizeof buffer, f))
            content.append(buffer, n);
        std::fclose(f);
        return content;
    }
    void makeDir(const std::string& name) const { ASSERT_EQ(::mkdir(native(name).c_str(), 0755), 0) << name; }
    void makeLink(const std::string& target, const std::string& name) const {
        ASSERT_EQ(::symlink(target.c_str(), native(name).c_str()), 0) << name;
    }
    [[nodiscard]] bool exists(const std::string& name) const {
        struct stat info;
        return ::lstat(native(name).c_str(), &info) == 0;
    }

    std::string mDir;
};

} // namespace TestSupport
