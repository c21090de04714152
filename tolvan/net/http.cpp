// URLs and HTTP over libcurl. One multi handle drives one easy handle per request, so a read of the
// response stream runs the transfer only until the caller's buffer has bytes: the body flows from the
// socket into the caller's memory as it is read, never buffered whole.
#include "tolvan/net/http.h"

#include "tolvan/common/exception.h"
#include "tolvan/containers/heapallocator.h"
#include "tolvan/containers/stack.h"
#include "tolvan/io/textstream.h"
#include "tolvan/utility/regexp.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <locale>
#include <mutex>
#include <sstream>
#include <string>

namespace Kalvex::Io {

// ---- URLs and encodings ----

namespace {

// The default port of a protocol, 0 when it has none.
uint16 defaultPort(const String& protocol) {
    if (protocol == u"ftp") return 21;
    if (protocol == u"http") return 80;
    if (protocol == u"https") return 443;
    return 0;
}

// A number read from `text` as wide-stream extraction reads it: leading white space skipped, the
// longest number taken, the rest ignored; empty when there is no number or it does not fit T.
template <typename T>
Optional<T> extractNumber(const String& text) {
    std::wistringstream parser(std::wstring(text.begin(), text.end()));
    parser.imbue(std::locale::classic());
    T value{};
    parser >> value;
    if (parser.fail()) return {};
    return value;
}

bool isUnreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// The UTF-8 bytes of `text` with every byte but the unreserved ones (and "/" where kept) as "%xx".
std::string percentEncode(const String& text, bool keepSlash) {
    static constexpr char HEX[] = "0123456789abcdef";
    const String::CharBuffer<char> utf8 = text.toUtf8();
    std::string out;
    out.reserve(size_t(utf8.length()) * 3);
    for (int i = 0; i < utf8.length(); ++i) {
        const auto c = static_cast<unsigned char>(utf8.cStr()[i]);
        if (isUnreserved(c) || (keepSlash && c == '/')) {
            out += char(c);
        } else {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 15];
        }
    }
    return out;
}

} // namespace

Expected<ParsedUrl, String> parseUrl(const String& url) {
    static const RegExp pattern(u"([a-zA-Z0-9\\.\\-]+)://([a-zA-Z0-9\\.\\-]+)(:[0-9]+)?((?:/[^/?#]+)+/?)?");
    const RegExpMatch match = pattern.match(url);
    if (!match) return makeUnexpected(String(u"Malformed URL"));

    ParsedUrl parsed;
    parsed.mProtocol = match[1].string();
    parsed.mProtocol.toLowerCase();
    parsed.mHost = match[2].string();
    parsed.mHost.toLowerCase();
    Optional<uint16> port;
    if (match[3]) port = extractNumber<uint16>(match[3].string().getSubstr(1));
    if (port) {
        parsed.mPort = *port;
    } else {
        parsed.mPort = defaultPort(parsed.mProtocol);
        if (parsed.mPort == 0)
            return makeUnexpected(u"Cannot determine port number for protocol '" + parsed.mProtocol + u"'");
    }
    if (match[4]) parsed.mPath = match[4].string().getSubstr(1);
    return parsed;
}

String encodeFormComponent(const String& text) {
    String encoded = String::fromAscii(percentEncode(text, false));
    encoded.replaceAll(u"%20", u"+");
    return encoded;
}

// ---- Time-outs ----

namespace {

std::atomic<int64> gConnectSeconds{HttpTimeouts{}.mConnectSeconds};
std::atomic<int64> gStallSeconds{HttpTimeouts{}.mStallSeconds};

} // namespace

void setHttpTimeouts(const HttpTimeouts& timeouts) {
    gConnectSeconds.store(std::max<int64>(1, timeouts.mConnectSeconds));
    gStallSeconds.store(std::max<int64>(1, timeouts.mStallSeconds));
}

HttpTimeouts getHttpTimeouts() {
    return {gConnectSeconds.load(), gStallSeconds.load()};
}

// ---- The transfer ----

namespace {

using Clock = std::chrono::steady_clock;

// Largest piece libcurl hands over at once; bigger pieces mean fewer calls on fast transfers.
constexpr long RECEIVE_BUFFER_BYTES = 256 * 1024;

void initializeCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// A header line's name matched without case, e.g. "Content-Length"; returns the value trimmed, or empty.
Optional<std::string> headerValue(std::string_view line, std::string_view name) {
    if (line.size() <= name.size() || line[name.size()] != ':') return {};
    for (size_t i = 0; i < name.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) !=
            std::tolower(static_cast<unsigned char>(name[i])))
            return {};
    std::string_view value = line.substr(name.size() + 1);
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!value.empty() && isSpace(value.front()))
        value.remove_prefix(1);
    while (!value.empty() && isSpace(value.back()))
        value.remove_suffix(1);
    return std::string(value);
}

class CurlHttpInputStream final : public HttpInputStream {
public:
    CurlHttpInputStream(const String& url, const char* method)
        : mUrl(url)
        , mMethod(method) {}

    ~CurlHttpInputStream() override {
        if (mEasyAdded) curl_multi_remove_handle(mMulti, mEasy);
        if (mEasy) curl_easy_cleanup(mEasy);
        if (mMulti) curl_multi_cleanup(mMulti);
        if (mHeaders) curl_slist_free_all(mHeaders);
    }

    CurlHttpInputStream(const CurlHttpInputStream&) = delete;
    CurlHttpInputStream& operator=(const CurlHttpInputStream&) = delete;

    // Makes the handles and runs the request until the response headers are in; throws the described
    // failures.
    void send(const ParsedUrl& parsed, std::string body) {
        initializeCurlOnce();
        mMulti = curl_multi_init();
        mEasy = curl_easy_init();
        if (!mMulti || !mEasy)
            throw Exception(u"Failed to initialize Internet interface.\nError: " +
                            String::fromUtf8(curl_easy_strerror(CURLE_FAILED_INIT)));
        mBody = std::move(body);
        if (!configure(parsed)) {
            throw Exception(u"Failed to connect to server '" + parsed.mHost + u"' on port " +
                            String::fromAscii(std::to_string(parsed.mPort)) + u"\nError: " + errorText());
        }
        if (curl_multi_add_handle(mMulti, mEasy) != CURLM_OK) throw sendFailure();
        mEasyAdded = true;
        mLastProgress = Clock::now();
        while (!mHeadersComplete && !mDone)
            advance(false);
        if (mDone && mResult != CURLE_OK) throw sendFailure();
    }

    Optional<int64> getContentLength() const override {
        if (!mContentLength) return {};
        return extractNumber<int64>(String::fromUtf8(*mContentLength));
    }

    Optional<String> getETag() const override {
        if (!mETag) return {};
        return String::fromUtf8(*mETag);
    }

protected:
    int64 readImpl(void* dst, int64 count) override {
        if (mPendingPosition < mPending.size()) return takePending(dst, count);
        if (mDone) return finish();
        mTarget = static_cast<std::byte*>(dst);
        mTargetRoom = count;
        mDelivered = 0;
        if (mPaused) {
            mPaused = false;
            // Delivers the piece that was held back, straight into the target.
            if (curl_easy_pause(mEasy, CURLPAUSE_CONT) != CURLE_OK) mDone = true, mResult = CURLE_RECV_ERROR;
        }
        mLastProgress = Clock::now();
        while (mDelivered == 0 && !mDone)
            advance(true);
        mTarget = nullptr;
        mTargetRoom = 0;
        if (mDelivered == 0) return finish();
        return mDelivered;
    }

    bool eofImpl() const override { return mEnd; }

private:
    bool configure(const ParsedUrl& parsed) {
        // The URL is built from the parsed parts, so only http or https ever reaches libcurl, with the
        // object name percent-encoded piece by piece.
        const bool secure = parsed.mProtocol == u"https";
        const std::string target = std::string(secure ? "https://" : "http://") +
                                   parsed.mHost.toAscii().cStr() + ":" + std::to_string(parsed.mPort) + "/" +
                                   percentEncode(parsed.mPath, true);
        mHeaders = curl_slist_append(mHeaders, "Content-Type: application/x-www-form-urlencoded");
        mHeaders = curl_slist_append(mHeaders, "Accept:"); // no accept types, as the request asks for none
        mHeaders = curl_slist_append(mHeaders, "Expect:"); // the body goes at once, without 100-continue
        if (!mHeaders) return false;
        const long connectSeconds = long(gConnectSeconds.load());
        mErrorBuffer[0] = '\0';
        bool ok = curl_easy_setopt(mEasy, CURLOPT_ERRORBUFFER, mErrorBuffer) == CURLE_OK;
        const auto set = [this, &ok](CURLoption option, auto value) {
            if (ok) ok = curl_easy_setopt(mEasy, option, value) == CURLE_OK;
        };
        set(CURLOPT_URL, target.c_str());
        set(CURLOPT_PROTOCOLS_STR, "http,https");
        set(CURLOPT_FOLLOWLOCATION, 0L);
        set(CURLOPT_PROXY, ""); // the request goes to the parsed host, whatever the environment says
        set(CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
        set(CURLOPT_USERAGENT, "KalvexRenderer");
        set(CURLOPT_HTTPHEADER, mHeaders);
        set(CURLOPT_CONNECTTIMEOUT, connectSeconds);
        set(CURLOPT_NOSIGNAL, 1L);
        set(CURLOPT_BUFFERSIZE, RECEIVE_BUFFER_BYTES);
        set(CURLOPT_WRITEFUNCTION, &CurlHttpInputStream::onBody);
        set(CURLOPT_WRITEDATA, this);
        set(CURLOPT_HEADERFUNCTION, &CurlHttpInputStream::onHeader);
        set(CURLOPT_HEADERDATA, this);
        if (mMethod == std::string_view("POST")) {
            set(CURLOPT_POST, 1L);
            set(CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(mBody.size()));
            set(CURLOPT_POSTFIELDS, mBody.c_str());
        } else {
            set(CURLOPT_HTTPGET, 1L);
        }
        return ok;
    }

    // One step of the transfer: lets libcurl work, then waits for the socket when nothing came. Throws
    // the read or send failure when nothing has arrived for the stall time-out.
    void advance(bool reading) {
        int running = 0;
        const int64 deliveredBefore = mDelivered;
        if (curl_multi_perform(mMulti, &running) != CURLM_OK) {
            mDone = true;
            mResult = CURLE_RECV_ERROR;
        }
        collectResult();
        const bool progressed = reading ? mDelivered != deliveredBefore : mHeadersComplete;
        if (mDone || progressed) return;
        const auto now = Clock::now();
        if (now - mLastProgress > std::chrono::seconds(gStallSeconds.load())) {
            mStalled = true;
            throw reading ? readFailure() : sendFailure();
        }
        int ready = 0;
        curl_multi_poll(mMulti, nullptr, 0, 200, &ready);
    }

    void collectResult() {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(mMulti, &left)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == mEasy) {
                mDone = true;
                mResult = message->data.result;
            }
        }
    }

    int64 takePending(void* dst, int64 count) {
        const int64 n = std::min(count, mPending.size() - mPendingPosition);
        std::memcpy(dst, mPending.begin() + mPendingPosition, size_t(n));
        mPendingPosition += n;
        if (mPendingPosition == mPending.size()) {
            mPending.clear();
            mPendingPosition = 0;
        }
        return n;
    }

    // The read after the last byte: the end, or the transfer's failure.
    int64 finish() {
        if (mResult != CURLE_OK) throw readFailure();
        mEnd = true;
        return 0;
    }

    String errorText() const {
        if (mStalled)
            return u"No data received for " + String::fromAscii(std::to_string(gStallSeconds.load())) +
                   u" seconds";
        if (mErrorBuffer[0] != '\0') return String::fromUtf8(mErrorBuffer);
        return String::fromUtf8(curl_easy_strerror(mResult));
    }

    Exception sendFailure() const {
        return Exception(u"Failed to send " + String::fromAscii(mMethod) + u" request to " + mUrl +
                         u"\nError: " + errorText());
    }

    Exception readFailure() const {
        return Exception(u"Failed to read the response to " + String::fromAscii(mMethod) + u" request to " +
                         mUrl + u"\nError: " + errorText());
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* self) {
        auto& stream = *static_cast<CurlHttpInputStream*>(self);
        const std::string_view line(data, size * count);
        stream.mLastProgress = Clock::now();
        if (line.starts_with("HTTP/")) {
            // A new response (after an interim 1xx one): its headers replace what came before.
            stream.mStatus = line.size() > 12 ? std::atoi(std::string(line.substr(9, 3)).c_str()) : 0;
            stream.mContentLength.reset();
            stream.mETag.reset();
        } else if (line == "\r\n" || line == "\n") {
            if (stream.mStatus >= 200 || stream.mStatus == 101) stream.mHeadersComplete = true;
        } else if (!stream.mContentLength && (stream.mContentLength = headerValue(line, "Content-Length"))) {
        } else if (!stream.mETag) {
            stream.mETag = headerValue(line, "ETag");
        }
        return size * count;
    }

    static size_t onBody(char* data, size_t size, size_t count, void* self) {
        auto& stream = *static_cast<CurlHttpInputStream*>(self);
        const int64 length = int64(size * count);
        stream.mLastProgress = Clock::now();
        stream.mHeadersComplete = true;
        if (stream.mTargetRoom == 0) {
            // Nobody is reading, or the reader has its bytes: libcurl keeps this piece until the next read.
            stream.mPaused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        const int64 direct = std::min(length, stream.mTargetRoom);
        std::memcpy(stream.mTarget, data, size_t(direct));
        stream.mTarget += direct;
        stream.mTargetRoom -= direct;
        stream.mDelivered += direct;
        if (direct < length) {
            // The rest of this piece waits for the next read; the reader's buffer is full.
            stream.mPending.resize(length - direct);
            std::memcpy(stream.mPending.begin(), data + direct, size_t(length - direct));
            stream.mPendingPosition = 0;
            stream.mTargetRoom = 0;
        }
        return size * count;
    }

    String mUrl;
    const char* mMethod;
    std::string mBody;
    CURLM* mMulti = nullptr;
    CURL* mEasy = nullptr;
    curl_slist* mHeaders = nullptr;
    bool mEasyAdded = false;
    char mErrorBuffer[CURL_ERROR_SIZE];

    // Response headers of the final response.
    int mStatus = 0;
    bool mHeadersComplete = false;
    Optional<std::string> mContentLength;
    Optional<std::string> mETag;

    // The read in progress: where the body goes and how much more fits.
    std::byte* mTarget = nullptr;
    int64 mTargetRoom = 0;
    int64 mDelivered = 0;
    // Part of a piece that did not fit the reader's buffer.
    Stack<std::byte, HeapAllocator, int64> mPending;
    int64 mPendingPosition = 0;

    Clock::time_point mLastProgress = Clock::now();
    bool mPaused = false;
    bool mStalled = false;
    bool mDone = false;
    CURLcode mResult = CURLE_OK;
    bool mEnd = false;
};

AutoPtr<HttpInputStream> sendRequest(const String& url, const char* method, const String& body) {
    const Expected<ParsedUrl, String> parsed = parseUrl(url);
    if (!parsed) throw Exception(u"URL malformed: " + url);
    auto stream = makeAutoPtr<CurlHttpInputStream>(url, method);
    stream->send(*parsed, body.toAscii('_').cStr());
    return AutoPtr<HttpInputStream>(std::move(stream));
}

} // namespace

AutoPtr<HttpInputStream> makeHttpRequestGET(const String& url, int64) {
    return sendRequest(url, "GET", String());
}

Expected<String, String> makeHttpRequestPOST(const String& url,
                                             ArrayView<const std::pair<String, String>> fields, int64) {
    String body;
    for (const auto& [key, value] : fields) {
        if (!body.isEmpty()) body << u'&';
        body << encodeFormComponent(key) << u'=' << encodeFormComponent(value);
    }
    try {
        AutoPtr<BinaryInputStream> response(sendRequest(url, "POST", body));
        TextInputStream text(std::move(response), TextEncoding::Utf8,
                             TextInputStream::Open::TranslateNewlines);
        return text.readAll();
    } catch (const Exception& e) {
        return makeUnexpected(e.getMessage());
    }
}

} // namespace Kalvex::Io
