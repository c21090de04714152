// Legacy::WxSocket: string frames (UTF-8 text and one zero byte) over a wxWidgets socket that the caller
// owns, for programs that still hold wx sockets. Built only when wxWidgets (base + net) is available
// (library tolvan_wxsocket); nothing else in the library uses wx.
//
//   wxSocketClient client;
//   client.Connect(address, true);
//   Legacy::WxSocket::writeString(&client, u"hello", 5);
#pragma once

#include "tolvan/containers/string.h"
#include "tolvan/net/sockets.h"

#include <wx/socket.h>

namespace Kalvex::Legacy {

/// A non-owning handle on a wx socket, switched to waiting for all bytes.
class WxSocket {
public:
    /// Keeps `socket` and sets its flags to wxSOCKET_WAITALL.
    explicit WxSocket(wxSocketBase* socket);

    /// Destroys the socket (wx Destroy) and forgets it.
    void close();

    /// Reads one frame byte by byte up to its zero byte within `timeoutSeconds` per byte; FAILURE when
    /// the socket is not usable, a byte does not come or the socket fails on the way.
    static SocketResult readString(wxSocketBase* socket, String& text, int timeoutSeconds);
    /// Writes `text` as one frame; SUCCESS when all of it went out and the socket is still usable.
    static SocketResult writeString(wxSocketBase* socket, const String& text, int timeoutSeconds);

private:
    wxSocketBase* mSocket;
};

} // namespace Kalvex::Legacy
