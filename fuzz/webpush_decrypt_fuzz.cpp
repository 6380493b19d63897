// Arbitrary bytes as a Web Push message body for a fixed receiver. Besides
// crashes and sanitizer reports it traps on an accepted message that breaks
// the size limit, or a refusal without a reason text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "webpush/Base64Url.h"
#include "webpush/Encryption.h"

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// The receiver of the published example, so the seed message decrypts and the
// fuzzer starts from an authentic record.
const tamsel::webpush::ReceiverKeys& receiver() {
    static const auto keys =
        tamsel::webpush::ReceiverKeys::fromParts(
            *tamsel::webpush::base64urlDecode("q1dXpw3UpT5VOmu_cf_v6ih07Aems3njxI-JWgLcM94"),
            *tamsel::webpush::base64urlDecode("BTBZMqHH6r4Tts7J_aSIgg"))
            .value();
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto result = tamsel::webpush::decrypt(receiver(), std::span(data, size));
    if (result) {
        require(result.plaintext.size() <= tamsel::webpush::kMaxPlaintext);
        require(size >=
                tamsel::webpush::kHeaderSize + tamsel::webpush::kTagSize + 1 + result.plaintext.size());
    } else {
        require(result.plaintext.empty() && !tamsel::webpush::describe(*result.error).empty());
    }
    return 0;
}
