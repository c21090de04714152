// A registry store of its own for each test: a fresh temporary directory, KALVEX_REGISTRY_FILE pointing
// into it, and everything removed afterwards.
#pragma once

#include "tolvan/winapi/registrystore.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace TolvanTest {

class RegistryStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvan_registry_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        mDir = pattern;
        useStoreFile(mDir + "/registry.sqlite");
    }
    void TearDown() override {
        Kalvex::WinApi::Registry::Detail::closeStoreConnection();
        ::unsetenv("KALVEX_REGISTRY_FILE");
        std::system(("rm -rf '" + mDir + "'").c_str());
    }

    void useStoreFile(const std::string& file) {
        mFile = file;
        ::setenv("KALVEX_REGISTRY_FILE", file.c_str(), 1);
    }

    static std::string readFile(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void writeFile(const std::string& file, const std::string& content) {
        std::ofstream(file, std::ios::binary) << content;
    }

    std::string mDir;
    std::string mFile;
};

} // namespace TolvanTest
