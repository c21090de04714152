// URLs and HTTP: a small client that splits URLs, sends GET requests whose response body is read as a
// stream while it arrives, and POSTs form fields.
//
//   AutoPtr<Io::HttpInputStream> body = Io::makeHttpRequestGET(u"http://127.0.0.1:8080/scenes/a.max", 0);
//   Io::FileOutputStream file(u"/tmp/a.max");
//   Io::forwardStreamTo(*body, file);         // the body is never held whole in memory
//
// Every request speaks HTTP/1.1 (TLS for "https") to the host and port of its URL and nowhere else:
// no proxy is used and redirects are not followed (a redirect's page is the body). The HTTP status is
// not examined: an error page is delivered like any other body.
#pragma once

#include "tolvan/common/types.h"
#include "tolvan/containers/arrayview.h"
#include "tolvan/containers/autoptr.h"
#include "tolvan/containers/expected.h"
#include "tolvan/containers/optional.h"
#include "tolvan/containers/string.h"
#include "tolvan/io/stream.h"

#include <utility>

namespace Kalvex::Io {

/// The parts of a URL.
struct ParsedUrl {
    String mProtocol; ///< the scheme, lower-cased
    String mHost;     ///< the host, lower-cased
    String mPath;     ///< the path without its leading "/", case kept; empty when the URL has none
    uint16 mPort = 0; ///< the port given in the URL, or the protocol's default
};

/// Splits `url` (scheme "://" host [":" port] ["/" path]). Rows:
///   "HTTP://Server:8080/Api/V1" ⇒ http, server, 8080, "Api/V1"
///   "https://server"            ⇒ https, server, 443, ""
///   "http://server:70000/a"     ⇒ port 80 (a port over 65535 falls back to the default)
/// Fails with "Malformed URL" (queries, fragments, user information, a lone "/", empty path segments)
/// or "Cannot determine port number for protocol 'x'" (no port given for a scheme other than ftp, http
/// and https).
[[nodiscard]] Expected<ParsedUrl, String> parseUrl(const String& url);

/// The body of an HTTP response, read as it arrives. At most one network read's worth of bytes (a few
/// hundred KiB) is held beyond what the caller has read. A read throws Exception when the transfer
/// fails or no byte arrives for the stall time-out (setHttpTimeouts).
class HttpInputStream : public BinaryInputStream {
public:
    ~HttpInputStream() override = default;

    /// The Content-Length header read as a number; empty when the response has none or it is not a
    /// number.
    [[nodiscard]] virtual Optional<int64> getContentLength() const = 0;
    /// The ETag header as sent (quotes included); empty when the response has none.
    [[nodiscard]] virtual Optional<String> getETag() const = 0;

protected:
    HttpInputStream() = default;
};

/// Sends a GET request and returns the response body once the response headers have arrived. The
/// int64 argument takes no part in the request. Throws Exception "URL malformed: " + url, or
/// "Failed to send GET request to " + url + "\nError: " + the reason (connection refused, time-out,
/// TLS certificate rejected, ...).
[[nodiscard]] AutoPtr<HttpInputStream> makeHttpRequestGET(const String& url, int64 unused);

/// POSTs `fields` form-encoded and returns the whole response text (UTF-8, newlines translated). Every
/// failure, including those of makeHttpRequestGET with "POST" in the message, is the error value.
[[nodiscard]] Expected<String, String>
makeHttpRequestPOST(const String& url, ArrayView<const std::pair<String, String>> fields, int64 unused);

/// The form encoding of one key or value: its UTF-8 bytes with ASCII letters, digits and "-._~" kept,
/// every other byte "%" + two lower-case hex digits, then every "%20" replaced by "+".
/// "a b&c" ⇒ "a+b%26c", "é" ⇒ "%c3%a9".
[[nodiscard]] String encodeFormComponent(const String& text);

/// Limits that bound a request against an unresponsive server.
struct HttpTimeouts {
    int64 mConnectSeconds = 30; ///< the longest a connection (and TLS handshake) may take
    int64 mStallSeconds = 60;   ///< the longest a request or a read waits without receiving a byte
};

/// Sets the limits for requests made from now on, process-wide (values below 1 count as 1).
void setHttpTimeouts(const HttpTimeouts& timeouts);
/// The limits in force.
[[nodiscard]] HttpTimeouts getHttpTimeouts();

} // namespace Kalvex::Io
