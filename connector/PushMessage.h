#pragma once
// From a message the distributor relays to the request the extension is given:
// decryption (RFC 8291), the plaintext's check (a JSON object that reads as a
// push's content), and the request identifier. Pure: no bus, no files, so any
// input can be fed to it.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/Json.h"
#include "platform/NotificationContent.h"
#include "webpush/Encryption.h"

namespace tamsel::connector {

struct PushRequest {
    std::string identifier;
    platform::Json content;            // the plaintext object, exactly as sent
    platform::SharedContent fallback;  // the same, read as a content: shown when the extension gives nothing
};

struct OpenedMessage {
    std::optional<PushRequest> request;
    // Why the message was refused: fixed text that carries nothing from the message.
    std::string refusal;
};

// Plaintext nested deeper than this is refused.
inline constexpr int kMaxJsonDepth = 32;
// A distributor's message id longer than this is not used as the identifier.
inline constexpr std::size_t kMaxMessageIdBytes = 200;

// Decrypts `body` for `keys` and reads the plaintext as a push's content. The
// identifier is `messageId` when usable, else a fresh UUID. Never throws for
// any input (only CryptoFailure when OpenSSL itself fails).
OpenedMessage openMessage(const webpush::ReceiverKeys& keys, std::span<const std::uint8_t> body,
                          std::string_view messageId);

// The push line the extension reads: {"identifier": …, "content": {…}}.
std::string pushLine(const PushRequest& request);

// The content the extension handed back for `identifier` in its output (JSON
// lines {"request": …, "content": {…}}), or nothing when no line names it with
// a content that reads as one.
std::optional<platform::SharedContent> handedBackContent(std::string_view output,
                                                         const std::string& identifier);

}  // namespace tamsel::connector
