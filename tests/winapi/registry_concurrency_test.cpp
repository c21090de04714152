// Threads of one process share the registry store, each through its own connection.
#include "tolvan/winapi/registry.h"
#include "winapi/registry_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace Kalvex;
using namespace Kalvex::WinApi;

namespace {

using RegistryThreads = TolvanTest::RegistryStoreTest;

class CountingObserver : public Registry::Observer {
public:
    void onKeyCreated(const String&) override { ++mCreated; }
    void onKeyDeleted(const String&) override {}
    void onValueSet(const String&, const String&) override { ++mSet; }
    void onValueDeleted(const String&, const String&) override {}
    std::atomic<int> mCreated{0};
    std::atomic<int> mSet{0};
};

} // namespace

TEST_F(RegistryThreads, ConcurrentWritersAndReadersLoseNothing) {
    ASSERT_TRUE(Registry::createKey(u"HKEY_CURRENT_USER/Shared").hasValue());
    SharedPtr<CountingObserver> observer = makeShared<CountingObserver>();
    Registry::registerObserver(WeakPtr<Registry::Observer>(SharedPtr<Registry::Observer>(observer)));

    constexpr int THREADS = 4;
    constexpr int VALUES = 100;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([t, &failures] {
            const String own = String(u"HKEY_CURRENT_USER/Shared/Thread") + String(char16_t(u'A' + t), 1);
            if (!Registry::createKey(own).hasValue()) ++failures;
            for (int i = 0; i < VALUES; ++i) {
                const String name = String::fromAscii(std::to_string(t * VALUES + i).c_str());
                if (!Registry::setValue(u"HKEY_CURRENT_USER/Shared", name, i)) ++failures;
                if (Registry::getIntValue(u"HKEY_CURRENT_USER/Shared", name) != Optional<int>(i)) ++failures;
                if (!Registry::setValue(own, u"last", i)) ++failures;
            }
            Registry::Detail::closeStoreConnection();
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    int values = 0;
    Registry::enumerateRegistryValues(Registry::PredefinedKey::CURRENT_USER, u"Shared",
                                      [&](const Registry::IRegistryValue&) { ++values; });
    EXPECT_EQ(values, THREADS * VALUES);
    EXPECT_EQ(observer->mCreated.load(), THREADS);
    EXPECT_EQ(observer->mSet.load(), 2 * THREADS * VALUES);
}
