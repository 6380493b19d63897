#include "platform/Regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace tamsel::platform {

struct Regex::Compiled {
    pcre2_code* code = nullptr;
    ~Compiled() { pcre2_code_free(code); }
};

Regex::Regex(std::string_view pattern, Options options) : compiled_(std::make_unique<Compiled>()) {
    std::uint32_t flags = PCRE2_UTF | PCRE2_UCP | PCRE2_DOLLAR_ENDONLY;
    if (options.caseInsensitive) flags |= PCRE2_CASELESS;
    int errorCode = 0;
    PCRE2_SIZE errorOffset = 0;
    compiled_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), flags,
                                    &errorCode, &errorOffset, nullptr);
    if (!compiled_->code) throw RegexError();
    // No JIT: a process lives for one push and matches a few hundred short
    // fields, which the interpreter does in less time than compiling them would
    // take, without the compiler's pages and executable memory.
}

Regex::~Regex() = default;

bool Regex::search(std::string_view subject) const {
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(compiled_->code, nullptr);
    if (!data) throw RegexError();
    int rc = pcre2_match(compiled_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0,
                         data, nullptr);
    pcre2_match_data_free(data);
    if (rc >= 0) return true;
    if (rc == PCRE2_ERROR_NOMATCH) return false;
    throw RegexError();
}

}  // namespace tamsel::platform
