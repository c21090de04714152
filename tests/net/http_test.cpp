#include "tolvan/net/http.h"

#include "net/http_server.h"
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using namespace Kalvex;
using namespace Kalvex::Io;
using TolvanTest::HttpTestServer;

namespace {

std::string toStd(const String& s) {
    return s.toUtf8().cStr();
}

// Reads the whole stream in pieces of `piece` bytes.
std::string readAll(BinaryInputStream& in, int64 piece = 4096) {
    std::string data;
    std::string buffer(size_t(piece), '\0');
    while (!in.eof()) {
        const int64 n = in.read(buffer.data(), piece);
        data.append(buffer.data(), size_t(n));
    }
    return data;
}

std::string pattern(size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        bytes[i] = char(i & 255);
    return bytes;
}

// A port on 127.0.0.1 where nothing listens.
int closedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

class Http : public ::testing::Test {
protected:
    void SetUp() override {
        mServer = HttpTestServer::get();
        if (!mServer) GTEST_SKIP() << "python3 cannot start the test server";
    }
    String url(const std::string& path) const { return String::fromUtf8(mServer->url(path)); }

    HttpTestServer* mServer = nullptr;
};

// Restores the default time-outs after a test that shortened them.
struct ShortTimeouts {
    ShortTimeouts() { setHttpTimeouts({5, 1}); }
    ~ShortTimeouts() { setHttpTimeouts({}); }
};

} // namespace

TEST(ParseUrl, SplitsAndChecksUrls) {
    struct Row {
        const char16_t* url;
        const char* protocol;
        const char* host;
        int port;
        const char* path;
    };
    const Row rows[] = {
        {u"HTTP://Server:8080/Api/V1", "http", "server", 8080, "Api/V1"},
        {u"https://server", "https", "server", 443, ""},
        {u"ftp://10.0.0.5/dir/", "ftp", "10.0.0.5", 21, "dir/"},
        {u"http://server:70000/a", "http", "server", 80, "a"},
        {u"http://server:0065535/a", "http", "server", 65535, "a"},
        {u"http://server:99999999999999999999/a", "http", "server", 80, "a"},
        {u"gopher://server:70", "gopher", "server", 70, ""},
        {u"http://a-b.c:1/x y/%41", "http", "a-b.c", 1, "x y/%41"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(toStd(row.url));
        const auto parsed = parseUrl(row.url);
        ASSERT_TRUE(parsed) << toStd(parsed.error());
        EXPECT_EQ(toStd(parsed->mProtocol), row.protocol);
        EXPECT_EQ(toStd(parsed->mHost), row.host);
        EXPECT_EQ(parsed->mPort, row.port);
        EXPECT_EQ(toStd(parsed->mPath), row.path);
    }
    EXPECT_EQ(parseUrl(u"http://a/x y/\u00e9")->mPath, String(u"x y/\u00e9"));

    const struct {
        const char16_t* url;
        const char* error;
    } failures[] = {
        {u"http://server/", "Malformed URL"},
        {u"http://server/a?x=1", "Malformed URL"},
        {u"http://server//a", "Malformed URL"},
        {u"http://server/a#top", "Malformed URL"},
        {u"http://user@server/a", "Malformed URL"},
        {u"http://server:/a", "Malformed URL"},
        {u"server/a", "Malformed URL"},
        {u"", "Malformed URL"},
        {u"gopher://server", "Cannot determine port number for protocol 'gopher'"},
        {u"Gopher://server:99999", "Cannot determine port number for protocol 'gopher'"},
    };
    for (const auto& row : failures) {
        SCOPED_TRACE(toStd(row.url));
        const auto parsed = parseUrl(row.url);
        ASSERT_FALSE(parsed);
        EXPECT_EQ(toStd(parsed.error()), row.error);
    }
}

TEST(FormEncoding, KeepsUnreservedBytesAndEncodesTheRest) {
    const struct {
        const char16_t* text;
        const char* encoded;
    } rows[] = {
        {u"a b&c", "a+b%26c"},
        {u"\u00e9", "%c3%a9"},
        {u"AZaz09-._~", "AZaz09-._~"},
        {u"%20", "%2520"},
        {u"a=b+c/d", "a%3db%2bc%2fd"},
        {u"\U0001F600", "%f0%9f%98%80"},
        {u"", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(toStd(encodeFormComponent(row.text)), row.encoded) << toStd(row.text);
}

TEST_F(Http, GetDeliversTheBodyWithItsHeaders) {
    AutoPtr<HttpInputStream> body = makeHttpRequestGET(url("/fixed"), 0);
    EXPECT_EQ(body->getContentLength(), Optional<int64>(12));
    ASSERT_TRUE(body->getETag());
    EXPECT_EQ(toStd(*body->getETag()), "\"v1-abc\"");
    EXPECT_EQ(readAll(*body), "hello world\n");
    EXPECT_TRUE(body->eof());
    char c;
    EXPECT_EQ(body->read(&c, 1), 0);
}

TEST_F(Http, ChunkedBodyHasNoLengthAndArrivesWhole) {
    for (const int64 piece : {int64(1000), int64(65536), int64(4 << 20)}) {
        AutoPtr<HttpInputStream> body = makeHttpRequestGET(url("/chunked"), 0);
        EXPECT_FALSE(body->getContentLength());
        EXPECT_FALSE(body->getETag());
        EXPECT_EQ(readAll(*body, piece), pattern(1 << 20)) << piece;
    }
}

TEST_F(Http, LargeBodyReadInOddPiecesIsExact) {
    const int64 size = 3 * 1024 * 1024 + 17;
    AutoPtr<HttpInputStream> body = makeHttpRequestGET(url("/bytes/" + std::to_string(size)), 0);
    EXPECT_EQ(body->getContentLength(), Optional<int64>(size));
    const std::string data = readAll(*body, 7777);
    ASSERT_EQ(int64(data.size()), size);
    EXPECT_EQ(data, pattern(size_t(size)));
}

TEST_F(Http, EndlessBodyIsReadAsItArrives) {
    // Were the body buffered whole first, the request would never return.
    AutoPtr<HttpInputStream> body = makeHttpRequestGET(url("/endless"), 0);
    EXPECT_FALSE(body->getContentLength());
    std::string buffer(1 << 20, '\0');
    int64 total = 0;
    while (total < (8 << 20))
        total += body->read(buffer.data(), int64(buffer.size()));
    EXPECT_FALSE(body->eof());
}

TEST_F(Http, ErrorPagesAndRedirectsAreBodies) {
    AutoPtr<HttpInputStream> missing = makeHttpRequestGET(url("/nothing/here"), 0);
    EXPECT_EQ(readAll(*missing), "<html><body>\r\nNot here: /nothing/here\r\n</body></html>\r\n");

    // Not followed: the request never goes anywhere but the host of the URL.
    AutoPtr<HttpInputStream> redirect = makeHttpRequestGET(url("/redirect"), 0);
    EXPECT_EQ(readAll(*redirect), "moved elsewhere\n");

    const auto page = makeHttpRequestPOST(url("/nothing"), {}, 0);
    ASSERT_TRUE(page);
    EXPECT_EQ(toStd(*page), "no form here\n");
}

TEST_F(Http, RequestCarriesAgentContentTypeAndEncodedObjectName) {
    AutoPtr<HttpInputStream> echo = makeHttpRequestGET(url("/echo/a b/%/\u00fc~x"), 0);
    const std::string text = readAll(*echo);
    EXPECT_EQ(text.substr(0, text.find('\n')), "GET /echo/a%20b/%25/%c3%bc~x HTTP/1.1");
    EXPECT_NE(text.find("\nUser-Agent: KalvexRenderer\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nContent-Type: application/x-www-form-urlencoded\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\nAccept:"), std::string::npos) << text;

    // Whatever the scheme, the request is HTTP to the URL's host and port.
    const String other =
        u"gopher://127.0.0.1:" + String::fromAscii(std::to_string(mServer->port())) + u"/fixed";
    EXPECT_EQ(readAll(*makeHttpRequestGET(other, 0)), "hello world\n");
}

TEST_F(Http, PostSendsTheFormAndReturnsTheResponseText) {
    const std::pair<String, String> fields[] = {{u"name", u"a b&c"}, {u"x", u"\u00e9"}};
    const auto response = makeHttpRequestPOST(url("/form"), fields, 0);
    ASSERT_TRUE(response) << toStd(response.error());
    EXPECT_EQ(toStd(*response), "name=a b&c\n"
                                "x=\u00e9\n"
                                "raw:name=a+b%26c&x=%c3%a9\n"
                                "type:application/x-www-form-urlencoded\n"
                                "agent:KalvexRenderer\n");

    const auto empty = makeHttpRequestPOST(url("/form"), {}, 0);
    ASSERT_TRUE(empty);
    EXPECT_EQ(toStd(*empty).substr(0, 5), "raw:\n");
}

TEST_F(Http, FailuresHaveTheirMessages) {
    const auto expectThrow = [](const String& u, const std::string& prefix) {
        try {
            (void)makeHttpRequestGET(u, 0);
            ADD_FAILURE() << "no failure for " << toStd(u);
        } catch (const Exception& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, prefix.size()), prefix) << e.what();
            if (prefix.ends_with("Error: ")) {
                EXPECT_GT(std::string(e.what()).size(), prefix.size()) << "no reason";
            }
        }
    };
    expectThrow(u"http://server/", "URL malformed: http://server/");
    const String refused = u"http://127.0.0.1:" + String::fromAscii(std::to_string(closedPort())) + u"/x";
    expectThrow(refused, "Failed to send GET request to " + toStd(refused) + "\nError: ");

    const auto malformed = makeHttpRequestPOST(u"http://server/a?b", {}, 0);
    ASSERT_FALSE(malformed);
    EXPECT_EQ(toStd(malformed.error()), "URL malformed: http://server/a?b");
    const auto failed = makeHttpRequestPOST(refused, {}, 0);
    ASSERT_FALSE(failed);
    EXPECT_EQ(toStd(failed.error()).find("Failed to send POST request to " + toStd(refused) + "\nError: "),
              0u);
}

TEST_F(Http, StalledServerIsBoundedByTheTimeOut) {
    ShortTimeouts shortTimeouts;
    try {
        (void)makeHttpRequestGET(url("/silent"), 0);
        ADD_FAILURE() << "a server that never answers was waited for";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), toStd(u"Failed to send GET request to " + url("/silent") +
                                               u"\nError: No data received for 1 seconds"));
    }

    AutoPtr<HttpInputStream> body = makeHttpRequestGET(url("/stall"), 0);
    EXPECT_EQ(body->getContentLength(), Optional<int64>(5));
    char buffer[8];
    try {
        (void)body->read(buffer, 8);
        ADD_FAILURE() << "a stalled body was waited for";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string(e.what()), toStd(u"Failed to read the response to GET request to " +
                                               url("/stall") + u"\nError: No data received for 1 seconds"));
    }
}

TEST(HttpTls, CertificatesAreVerified) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("tolvan_http_tls_" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string cert = (dir / "cert.pem").string(), key = (dir / "key.pem").string();
    const std::string make =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " + key + " -out " +
        cert + " >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) {
        std::filesystem::remove_all(dir);
        GTEST_SKIP() << "openssl cannot make a certificate";
    }
    {
        TolvanTest::ChildProcess server({"python3", HttpTestServer::scriptPath(), "--tls", cert, key});
        const std::string port = server.readLine();
        ASSERT_FALSE(port.empty());
        const String secure = String::fromAscii("https://127.0.0.1:" + port + "/fixed");
        try {
            (void)makeHttpRequestGET(secure, 0);
            ADD_FAILURE() << "a self-signed certificate was accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(
                std::string(e.what()).find("Failed to send GET request to " + toStd(secure) + "\nError: SSL"),
                0u)
                << e.what();
        }
    }
    std::filesystem::remove_all(dir);
}
