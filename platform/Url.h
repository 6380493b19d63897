#pragma once
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct Curl_URL;

namespace tamsel::platform {

// True when text is a valid URI reference (RFC 3986): an absolute URI or a
// relative reference, made only of allowed characters with well-formed
// percent-encodings. The empty string is refused.
bool isURIReference(std::string_view text);

// An absolute URL taken apart. A part is absent when the text has none; an empty
// query ("?") or user ("@") is present and empty. Scheme and port come in the
// parser's normal form (lower-case scheme, port without leading zeros).
struct URLComponents {
    std::string url;  // the whole URL in normal form
    std::string scheme;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> host;
    std::optional<std::string> port;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

// Parses an absolute URL with an authority ("scheme://..."); nothing when the
// text is not one.
std::optional<URLComponents> parseURL(std::string_view text);

// Resolves reference against base by the rules of RFC 3986, section 5 (dot
// segments removed). Nothing when base is not an absolute URL or reference is
// not a valid URI reference.
std::optional<URLComponents> resolveReference(std::string_view base, std::string_view reference);

// A base parsed once, for resolving many references against it as
// resolveReference() does: taking the base apart again for every request cost
// about as much as resolving the reference. Safe from any thread.
class ReferenceBase {
  public:
    // Nothing when base is not an absolute URL.
    static std::optional<ReferenceBase> parse(std::string_view base);
    const URLComponents& components() const { return components_; }
    std::optional<URLComponents> resolve(std::string_view reference) const;

  private:
    ReferenceBase(URLComponents components, std::shared_ptr<Curl_URL> handle)
        : components_(std::move(components)), handle_(std::move(handle)) {}
    URLComponents components_;
    std::shared_ptr<Curl_URL> handle_;  // only ever copied from, never changed
};

}  // namespace tamsel::platform
