// The python3 HTTP server of http_server.py, started once per test program on 127.0.0.1.
#pragma once

#include "support/child_process.h"

#include <memory>
#include <string>

namespace TolvanTest {

class HttpTestServer {
public:
    /// Starts the server (or returns the one already running); null when python3 cannot start it.
    static HttpTestServer* get() {
        static std::unique_ptr<HttpTestServer> server = start();
        return server.get();
    }

    /// "http://127.0.0.1:port" + path (path starts with "/"), in UTF-8.
    [[nodiscard]] std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(mPort) + path;
    }
    [[nodiscard]] int port() const { return mPort; }

    static std::string scriptPath() {
        const std::string here = __FILE__;
        return here.substr(0, here.rfind('/')) + "/http_server.py";
    }

private:
    static std::unique_ptr<HttpTestServer> start() {
        auto server = std::unique_ptr<HttpTestServer>(new HttpTestServer);
        if (!server->mProcess.isRunning()) return nullptr;
        const std::string line = server->mProcess.readLine();
        server->mPort = line.empty() ? 0 : std::stoi(line);
        if (server->mPort <= 0) return nullptr;
        return server;
    }

    HttpTestServer()
        : mProcess({"python3", scriptPath()}) {}

    ChildProcess mProcess;
    int mPort = 0;
};

} // namespace TolvanTest
