// Legacy::WxSocket over the wx socket calls.
#include "tolvan/net/wxsocket.h"

#include <string>

namespace Kalvex::Legacy {

namespace {

// The socket is usable: open and its peer has not closed.
bool usable(wxSocketBase* socket) {
    return socket && socket->IsOk() && !socket->IsClosed();
}

void setTimeoutIfDifferent(wxSocketBase* socket, int seconds) {
    if (socket->GetTimeout() != seconds) socket->SetTimeout(seconds);
}

} // namespace

WxSocket::WxSocket(wxSocketBase* socket)
    : mSocket(socket) {
    if (mSocket) mSocket->SetFlags(wxSOCKET_WAITALL);
}

void WxSocket::close() {
    if (mSocket) mSocket->Destroy();
    mSocket = nullptr;
}

SocketResult WxSocket::readString(wxSocketBase* socket, String& text, int timeoutSeconds) {
    if (!usable(socket)) return SocketResult::FAILURE;
    setTimeoutIfDifferent(socket, timeoutSeconds);
    std::string bytes;
    for (;;) {
        char byte = 0;
        socket->Read(&byte, 1);
        if (socket->LastCount() != 1 || !usable(socket)) return SocketResult::FAILURE;
        if (byte == '\0') break;
        bytes.push_back(byte);
    }
    text = String::fromUtf8(std::string_view(bytes));
    return SocketResult::SUCCESS;
}

SocketResult WxSocket::writeString(wxSocketBase* socket, const String& text, int timeoutSeconds) {
    if (!usable(socket)) return SocketResult::FAILURE;
    setTimeoutIfDifferent(socket, timeoutSeconds);
    const auto frame = text.toUtf8();
    const wxUint32 length = wxUint32(frame.isEmpty() ? 1 : frame.count());
    socket->Write(frame.cStr(), length);
    return socket->LastCount() == length && usable(socket) ? SocketResult::SUCCESS : SocketResult::FAILURE;
}

} // namespace Kalvex::Legacy
