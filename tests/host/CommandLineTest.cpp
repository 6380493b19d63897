// The shared command-line layer, parsed in-process.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "cli/CommandLine.h"

namespace tamsel::cli {
namespace {

const Program kProgram{
    "prog",
    {{.synopsis = "--in FILE",
      .options = {{.name = "in", .value = "FILE", .help = "input", .required = true},
                  {.name = "tag", .value = "T", .help = "a tag", .repeatable = true},
                  {.name = "mode", .help = "how", .choices = {"fast", "slow"}},
                  {.name = "quiet", .help = "say less"}},
      .operands = "NAME",
      .exitStatuses = {{0, "fine"}, {2, "bad arguments"}}},
     {.name = "sub", .summary = "a subcommand", .options = {{.name = "only-here", .help = "x"}}}}};

struct Outcome {
    int status;
    std::string out;
    std::string err;
    std::optional<Arguments> arguments;
};

// What is written to a C stream, kept in memory.
class Captured {
  public:
    Captured() : file_(open_memstream(&data_, &size_)) {}
    ~Captured() {
        std::fclose(file_);
        std::free(data_);
    }
    Captured(const Captured&) = delete;
    Captured& operator=(const Captured&) = delete;
    std::FILE* file() const { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(data_, size_);
    }

  private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

Outcome run(std::vector<const char*> words) {
    words.insert(words.begin(), "prog");
    Captured out, err;
    auto result = parse(kProgram, static_cast<int>(words.size()), words.data(), out.file(), err.file());
    return {result.exitStatus, out.text(), err.text(), std::move(result.arguments)};
}

TEST(CommandLine, ParsesValuesInBothSpellingsAndOperandsAfterTheEnd) {
    auto result = run({"--in=a", "--tag", "x", "--tag=y", "--mode", "slow", "--quiet", "--", "--in"});
    ASSERT_TRUE(result.arguments) << result.err;
    const Arguments& a = *result.arguments;
    EXPECT_EQ(a.command(), "");
    EXPECT_EQ(a.value("in"), "a");
    EXPECT_EQ(a.values("tag"), (std::vector<std::string>{"x", "y"}));
    EXPECT_EQ(a.value("tag"), "y");
    EXPECT_EQ(a.value("mode"), "slow");
    EXPECT_TRUE(a.has("quiet"));
    EXPECT_FALSE(a.has("only-here"));
    EXPECT_EQ(a.operands(), (std::vector<std::string>{"--in"}));

    auto sub = run({"sub", "--only-here"});
    ASSERT_TRUE(sub.arguments) << sub.err;
    EXPECT_EQ(sub.arguments->command(), "sub");
}

TEST(CommandLine, RefusesBadArgumentsInOneWordingWithStatusTwo) {
    const std::string see = "; see 'prog --help'\n";
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{"--in", "a", "--x"}, "prog: unknown option '--x'" + see},
        {{"--in"}, "prog: option '--in' needs a value" + see},
        {{"--quiet"}, "prog: missing --in" + see},
        {{"--in", "a", "--quiet=1"}, "prog: option '--quiet' takes no value" + see},
        {{"--in", "a", "--in", "b"}, "prog: option '--in' given twice" + see},
        {{"--in", "a", "--mode", "odd"}, "prog: option '--mode' needs one of fast, slow, not 'odd'" + see},
        {{"--in", "a", "-q"}, "prog: unknown option '-q'" + see},
        {{"sub", "--in", "a"}, "prog sub: unknown option '--in'; see 'prog sub --help'\n"},
        {{"sub", "extra"}, "prog sub: unexpected argument 'extra'; see 'prog sub --help'\n"},
    };
    for (const auto& [words, message] : cases) {
        SCOPED_TRACE(message);
        auto result = run(words);
        EXPECT_FALSE(result.arguments);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.err, message);
        EXPECT_EQ(result.out, "");
    }
}

TEST(CommandLine, HelpAndVersionWinOverMissingOptions) {
    auto help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_FALSE(help.arguments);
    for (const char* text : {"usage: prog --in FILE", "prog sub", "--in FILE", "--mode fast|slow",
                             "(may be repeated)", "exit status:", "  2   bad arguments", "sub  "})
        EXPECT_NE(help.out.find(text), std::string::npos) << text << "\n" << help.out;

    auto subHelp = run({"sub", "--help"});
    EXPECT_EQ(subHelp.status, 0);
    EXPECT_NE(subHelp.out.find("usage: prog sub"), std::string::npos) << subHelp.out;
    EXPECT_NE(subHelp.out.find("--only-here"), std::string::npos) << subHelp.out;
    EXPECT_EQ(subHelp.out.find("--mode"), std::string::npos) << subHelp.out;

    auto shown = run({"--version"});
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(shown.out, std::string("prog ") + version() + "\n");
}

}  // namespace
}  // namespace tamsel::cli
