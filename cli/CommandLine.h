#pragma once
// The command line of every program of this project, declared rather than
// hand-parsed, so that all of them take options, print help and report usage
// errors the same way.
//
// A program declares its commands (the main one, name "", and subcommands such
// as "notify") and each command's options; parse() gives back the values:
//
//     const cli::Program program{"tamsel-example", {{
//         .synopsis = "--input FILE [options]",
//         .description = "Copies FILE.",
//         .options = {{.name = "input", .value = "FILE", .help = "what to copy", .required = true},
//                     {.name = "verbose", .help = "say more"}},
//         .exitStatuses = {{0, "copied"}, {2, "bad arguments"}},
//     }}};
//     auto parsed = cli::parse(program, argc, argv);
//     if (!parsed.arguments) return parsed.exitStatus;   // help, version or a usage error
//     std::string input = *parsed.arguments->value("input");
//
// What every program gets:
//   --help (also -h, and `PROGRAM COMMAND --help`), exit status 0
//   --version: "<program> <version>", exit status 0
//   --opt=value and --opt value; `--` ends the options (what follows are operands)
//   usage errors on stderr, one line, exit status 2:
//     <program>: unknown option '--x'; see '<program> --help'
//     <program>: option '--bundle' needs a value; see '<program> --help'
//     <program>: missing --bundle; see '<program> --help'
//   (for a subcommand, <program> reads "tamsel-notification-service notify").
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tamsel::cli {

struct Option {
    std::string name{};   // without the dashes: "bundle" is --bundle
    std::string value{};  // the value's name in the help ("DIR"); empty for a flag without value
    std::string help{};   // '\n' starts a new line; lines are wrapped to fit
    // The only values accepted, if any (the help shows them as a|b when `value` is empty).
    std::vector<std::string> choices{};
    bool repeatable = false;  // else a second occurrence is a usage error
    bool required = false;
};

struct Command {
    std::string name{};      // "" for the program itself, else the subcommand's word
    std::string summary{};   // one line, for the program's list of commands
    std::string synopsis{};  // what follows the program (and command) name in "usage:"
    std::string description{};
    std::vector<Option> options{};
    // The value name of operands (arguments that are not options); empty: none accepted.
    std::string operands{};
    std::vector<std::pair<int, std::string>> exitStatuses{};
};

struct Program {
    std::string name{};
    std::vector<Command> commands{};  // the one named "" runs when no subcommand is given
};

// The values of one command line.
class Arguments {
  public:
    const std::string& command() const { return command_; }
    bool has(std::string_view option) const;
    // The value given to the option (the last one for a repeatable option).
    std::optional<std::string> value(std::string_view option) const;
    std::vector<std::string> values(std::string_view option) const;
    const std::vector<std::string>& operands() const { return operands_; }

  private:
    friend struct Parser;
    std::string command_;
    std::vector<std::pair<std::string, std::string>> given_;  // option name, value ("" for a flag)
    std::vector<std::string> operands_;
};

struct ParseResult {
    // Set when the program is to run; otherwise help, the version or a usage
    // error was printed and the program exits with exitStatus (0 or 2).
    std::optional<Arguments> arguments;
    int exitStatus = 0;
};

// Help and the version go to `out`, usage errors to `err`. C streams rather than
// C++ ones: a program that prints nothing else that way then links none of the
// C++ streams and their locales, which cost every run half a MiB.
ParseResult parse(const Program& program, int argc, const char* const* argv, std::FILE* out = stdout,
                  std::FILE* err = stderr);

// For checks beyond the declarations (a number out of range, two options that
// exclude each other): prints the usage error in the common wording for the
// command and returns 2, the exit status of a usage error.
int usageError(const Program& program, const std::string& command, std::string_view message,
               std::FILE* err = stderr);

// The help text parse() prints for a command ("" for the program).
std::string helpText(const Program& program, const std::string& command);

// The project's version (CMake's PROJECT_VERSION).
const char* version();

}  // namespace tamsel::cli
