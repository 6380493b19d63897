#include "cli/CommandLine.h"

#include <algorithm>

#ifndef TAMSEL_VERSION
#error "TAMSEL_VERSION must name the project's version"
#endif

namespace tamsel::cli {
namespace {

constexpr std::size_t kWidth = 80;
constexpr std::size_t kHelpColumn = 26;

std::string prefixOf(const Program& program, const std::string& command) {
    return command.empty() ? program.name : program.name + " " + command;
}

const Command* findCommand(const Program& program, std::string_view name) {
    for (const auto& command : program.commands)
        if (command.name == name) return &command;
    return nullptr;
}

std::string join(const std::vector<std::string>& words, const char* separator) {
    std::string text;
    for (const auto& word : words) text += (text.empty() ? "" : separator) + word;
    return text;
}

void print(std::FILE* to, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), to);
    std::fflush(to);
}

// Appends `text` wrapped to kWidth columns; the first line continues at
// `column`, the others start at `indent`. A line that starts with a space is an
// example or a table and is kept as it is.
void wrap(std::string& out, std::string_view text, std::size_t indent, std::size_t column) {
    std::size_t at = column;
    std::size_t start = 0;
    for (bool firstLine = true;; firstLine = false) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        std::string_view line = text.substr(start, end - start);
        if (!firstLine) {
            out += '\n' + std::string(indent, ' ');
            at = indent;
        }
        if (!line.empty() && line[0] == ' ') {
            out += line;
            line = {};
        }
        bool firstWord = true;
        for (std::size_t i = 0; i < line.size();) {
            std::size_t wordEnd = std::min(line.find(' ', i), line.size());
            std::string_view word = line.substr(i, wordEnd - i);
            if (!word.empty()) {
                if (!firstWord && at + 1 + word.size() > kWidth) {
                    out += '\n' + std::string(indent, ' ');
                    at = indent;
                } else if (!firstWord) {
                    out += ' ';
                    ++at;
                }
                out += word;
                at += word.size();
                firstWord = false;
            }
            i = wordEnd + 1;
        }
        if (end == text.size()) return;
        start = end + 1;
    }
}

std::string optionLabel(const Option& option) {
    std::string label = "--" + option.name;
    std::string value = !option.value.empty() ? option.value : join(option.choices, "|");
    if (!value.empty()) label += " " + value;
    return label;
}

void appendOption(std::string& out, const std::string& label, const std::string& help,
                  std::size_t column = kHelpColumn) {
    out += "  " + label;
    std::size_t at = 2 + label.size();
    if (at + 2 > column) {
        out += '\n';
        out.append(column, ' ');
    } else {
        out.append(column - at, ' ');
    }
    wrap(out, help, column, column);
    out += "\n";
}

}  // namespace

// Fills Arguments; a friend of it.
struct Parser {
    const Program& program;
    std::FILE* out;
    std::FILE* err;

    ParseResult run(int argc, const char* const* argv) {
        int first = 1;
        const Command* command = nullptr;
        if (argc > 1) {
            std::string_view word = argv[1];
            if (!word.empty() && word[0] != '-') {
                command = findCommand(program, word);
                if (command) first = 2;
            }
        }
        if (!command) command = findCommand(program, "");
        Arguments arguments;
        if (command) arguments.command_ = command->name;
        auto fail = [&](const std::string& message) {
            return ParseResult{std::nullopt, usageError(program, arguments.command_, message, err)};
        };
        if (!command) {
            return fail(argc > 1 ? "unknown command '" + std::string(argv[1]) + "'" : "missing a command");
        }

        bool optionsEnded = false;
        for (int i = first; i < argc; ++i) {
            std::string_view arg = argv[i];
            if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
                if (command->operands.empty()) return fail("unexpected argument '" + std::string(arg) + "'");
                arguments.operands_.emplace_back(arg);
                continue;
            }
            if (arg == "--") {
                optionsEnded = true;
                continue;
            }
            if (arg == "--help" || arg == "-h") {
                print(out, helpText(program, command->name));
                return {std::nullopt, 0};
            }
            if (arg == "--version") {
                print(out, program.name + " " + version() + "\n");
                return {std::nullopt, 0};
            }
            if (arg.substr(0, 2) != "--") return fail("unknown option '" + std::string(arg) + "'");
            std::string_view name = arg.substr(2);
            std::optional<std::string> value;
            if (auto equals = name.find('='); equals != std::string_view::npos) {
                value = std::string(name.substr(equals + 1));
                name = name.substr(0, equals);
            }
            auto option = std::find_if(command->options.begin(), command->options.end(),
                                       [&](const Option& o) { return o.name == name; });
            if (option == command->options.end()) return fail("unknown option '--" + std::string(name) + "'");
            const std::string dashed = "--" + option->name;
            const bool takesValue = !option->value.empty() || !option->choices.empty();
            if (!takesValue && value) return fail("option '" + dashed + "' takes no value");
            if (takesValue && !value) {
                if (i + 1 >= argc) return fail("option '" + dashed + "' needs a value");
                value = argv[++i];
            }
            if (!option->choices.empty() &&
                std::find(option->choices.begin(), option->choices.end(), *value) == option->choices.end())
                return fail("option '" + dashed + "' needs one of " + join(option->choices, ", ") +
                            ", not '" + *value + "'");
            if (!option->repeatable && arguments.has(option->name))
                return fail("option '" + dashed + "' given twice");
            arguments.given_.emplace_back(option->name, value.value_or(""));
        }
        for (const auto& option : command->options)
            if (option.required && !arguments.has(option.name)) return fail("missing --" + option.name);
        return {std::move(arguments), 0};
    }
};

bool Arguments::has(std::string_view option) const {
    return std::any_of(given_.begin(), given_.end(), [&](const auto& g) { return g.first == option; });
}

std::optional<std::string> Arguments::value(std::string_view option) const {
    for (auto it = given_.rbegin(); it != given_.rend(); ++it)
        if (it->first == option) return it->second;
    return std::nullopt;
}

std::vector<std::string> Arguments::values(std::string_view option) const {
    std::vector<std::string> all;
    for (const auto& [name, value] : given_)
        if (name == option) all.push_back(value);
    return all;
}

ParseResult parse(const Program& program, int argc, const char* const* argv, std::FILE* out, std::FILE* err) {
    return Parser{program, out, err}.run(argc, argv);
}

int usageError(const Program& program, const std::string& command, std::string_view message, std::FILE* err) {
    const std::string prefix = prefixOf(program, command);
    print(err, prefix + ": " + std::string(message) + "; see '" + prefix + " --help'\n");
    return 2;
}

std::string helpText(const Program& program, const std::string& name) {
    const Command* command = findCommand(program, name);
    if (!command) return {};
    std::string out = "usage: ";
    const std::string indent(7, ' ');
    out += prefixOf(program, name) + (command->synopsis.empty() ? "" : " " + command->synopsis) + "\n";
    if (name.empty()) {
        for (const auto& sub : program.commands)
            if (!sub.name.empty()) out += indent + program.name + " " + sub.name + " " + sub.synopsis + "\n";
    }
    if (!command->description.empty()) {
        out += "\n";
        wrap(out, command->description, 0, 0);
        out += "\n";
    }
    out += "\noptions:\n";
    for (const auto& option : command->options) {
        std::string help = option.help;
        if (option.required) help += " (required)";
        if (option.repeatable) help += " (may be repeated)";
        appendOption(out, optionLabel(option), help);
    }
    appendOption(out, "--help", "show this text");
    appendOption(out, "--version", "show the program's version");
    if (name.empty()) {
        bool any = false;
        for (const auto& sub : program.commands) {
            if (sub.name.empty()) continue;
            if (!any) out += "\ncommands (see '" + program.name + " COMMAND --help'):\n";
            any = true;
            appendOption(out, sub.name, sub.summary);
        }
    }
    if (!command->exitStatuses.empty()) {
        out += "\nexit status:\n";
        for (const auto& [status, meaning] : command->exitStatuses)
            appendOption(out, std::to_string(status), meaning, 6);
    }
    return out;
}

const char* version() { return TAMSEL_VERSION; }

}  // namespace tamsel::cli
