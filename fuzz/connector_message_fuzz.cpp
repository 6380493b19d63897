// Arbitrary bytes through the push connector's message handling: decryption,
// the plaintext's JSON check and the request built from it. The first byte
// picks whether the rest is sent as the message itself or first encrypted to
// the receiver, so the JSON and content checks see arbitrary plaintext too.
// Besides crashes and sanitizer reports it traps on an accepted message that
// breaks what the extension runner relies on.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "connector/PushMessage.h"
#include "webpush/Encryption.h"

namespace {

using namespace tamsel;

void require(bool condition) {
    if (!condition) std::abort();
}

const webpush::ReceiverKeys& receiver() {
    static const auto keys = [] {
        std::array<std::uint8_t, 32> scalar{};
        scalar[31] = 7;
        std::array<std::uint8_t, 16> auth{};
        auth.fill(0x5a);
        return *webpush::ReceiverKeys::fromParts(scalar, auth);
    }();
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::span<const std::uint8_t> rest(data + 1, size - 1);
    connector::OpenedMessage opened;
    if (data[0] & 1) {
        if (rest.size() > webpush::kMaxPlaintext) return 0;
        webpush::EncryptOptions options;
        options.salt.emplace();
        options.salt->fill(1);
        options.senderPrivateKey.emplace();
        options.senderPrivateKey->fill(0);
        (*options.senderPrivateKey)[31] = 3;
        auto body = webpush::encrypt(receiver().publicKey(), receiver().authSecret(), rest, options);
        opened = connector::openMessage(receiver(), body, "id");
    } else {
        opened = connector::openMessage(receiver(), rest, "");
    }
    if (opened.request) {
        require(opened.refusal.empty());
        require(opened.request->content.is_object());
        require(opened.request->fallback != nullptr);
        require(!opened.request->identifier.empty());
        auto line = connector::pushLine(*opened.request);
        require(!line.empty() && line.back() == '\n');
        // What the extension would hand back unchanged reads back as a content.
        std::string handed = "{\"request\":\"" + opened.request->identifier +
                             "\",\"content\":" + opened.request->content.dump() + "}\n";
        require(connector::handedBackContent(handed, opened.request->identifier).has_value());
    } else {
        require(!opened.refusal.empty());
    }
    return 0;
}
