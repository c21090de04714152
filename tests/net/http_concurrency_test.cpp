#include "tolvan/net/http.h"

#include "net/http_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace Kalvex;
using namespace Kalvex::Io;

// Requests on several threads share no state: each has its own handles and gets its own body.
TEST(HttpConcurrency, RequestsOnSeveralThreadsAreIndependent) {
    TolvanTest::HttpTestServer* server = TolvanTest::HttpTestServer::get();
    if (!server) GTEST_SKIP() << "python3 cannot start the test server";
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5; ++i) {
                const std::string size = std::to_string(1000 * (t + 1) + i);
                AutoPtr<HttpInputStream> body =
                    makeHttpRequestGET(String::fromUtf8(server->url("/bytes/" + size)), 0);
                std::string data(64 * 1024, '\0');
                int64 total = 0;
                while (!body->eof())
                    total += body->read(data.data(), int64(data.size()));
                if (total == std::stoll(size) && body->getContentLength() == Optional<int64>(total)) ++good;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(good.load(), 20);
}
