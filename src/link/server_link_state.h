#pragma once
// The process-wide state of the server link: what the service's messages leave behind for the
// player loop and its screens to read. The WebSocket thread writes it through the setters below;
// every other thread reads it through the getters, which copy under webSocketStateMutex and never
// call into the WebSocket thread.

#include <mutex>
#include <string>

namespace lumetta {

// Guards the message fields of the link state. A leaf lock: nothing else is taken while it is
// held, and no notification or event is sent under it.
extern std::mutex webSocketStateMutex;

// The message fields, each empty or false until the service sends its message.
struct ServerLinkState {
    std::string bindCode;    // the pairing code shown while the device is not linked
    std::string bindQrCode;  // that code as a Base64 PNG picture of its QR code
    std::string bindUrl;     // where the code is entered
    bool bindComplete = false;  // the device is linked; nothing clears it
};

// The one instance; touch its fields only with webSocketStateMutex held.
extern ServerLinkState serverLinkState;

// Locks webSocketStateMutex; a failure to lock is thrown as std::system_error.
std::unique_lock<std::mutex> lockWebSocketState();

// Copies taken under the lock; safe from any thread.
std::string bindCode();
std::string bindQrCode();
std::string bindUrl();
bool isBindComplete();

// What a "bindCode" message stores: the three values replace the previous ones together, so a
// reader never sees a code with another code's picture.
void storeBindCode(std::string code, std::string qrCode, std::string url);
// What a "bindComplete" message does.
void markBindComplete();

}  // namespace lumetta
