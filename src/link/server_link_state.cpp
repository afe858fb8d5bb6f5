#include "link/server_link_state.h"

#include <utility>

namespace lumetta {

std::mutex webSocketStateMutex;
ServerLinkState serverLinkState;

std::unique_lock<std::mutex> lockWebSocketState() { return std::unique_lock<std::mutex>(webSocketStateMutex); }

std::string bindCode() {
    const auto lock = lockWebSocketState();
    return serverLinkState.bindCode;
}

std::string bindQrCode() {
    const auto lock = lockWebSocketState();
    return serverLinkState.bindQrCode;
}

std::string bindUrl() {
    const auto lock = lockWebSocketState();
    return serverLinkState.bindUrl;
}

bool isBindComplete() {
    const auto lock = lockWebSocketState();
    return serverLinkState.bindComplete;
}

void storeBindCode(std::string code, std::string qrCode, std::string url) {
    const auto lock = lockWebSocketState();
    serverLinkState.bindCode = std::move(code);
    serverLinkState.bindQrCode = std::move(qrCode);
    serverLinkState.bindUrl = std::move(url);
}

void markBindComplete() {
    const auto lock = lockWebSocketState();
    serverLinkState.bindComplete = true;
}

}  // namespace lumetta
