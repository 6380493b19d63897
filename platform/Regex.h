#pragma once
// Regular-expression search with PCRE2 in UTF mode with Unicode classes (\d, \s
// and friends match beyond ASCII). A pattern is compiled once, at construction,
// and may then be searched from any thread.
//
// "$" matches only at the very end of the subject: a value followed by a line
// break never passes a whole-value pattern, so no such value can reach a URL or
// a header.
#include <memory>
#include <stdexcept>
#include <string_view>

namespace tamsel::platform {

class RegexError : public std::exception {
  public:
    const char* what() const noexcept override { return "regular expression failure"; }
};

class Regex {
  public:
    struct Options {
        bool caseInsensitive = false;
    };
    // Throws RegexError when the pattern does not compile (a programming error).
    explicit Regex(std::string_view pattern) : Regex(pattern, Options{}) {}
    Regex(std::string_view pattern, Options options);
    ~Regex();
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    // True when the pattern matches anywhere in subject. The subject must be
    // valid UTF-8; anything the engine cannot search (invalid UTF-8 included)
    // throws RegexError rather than passing for "no match".
    bool search(std::string_view subject) const;

  private:
    struct Compiled;
    std::unique_ptr<Compiled> compiled_;
};

}  // namespace tamsel::platform
