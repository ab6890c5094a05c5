// Command-line reading for the docscan front end: options in the usual forms
// ("--name value", "--name=value", "-x value", "-xvalue") and strict numbers.
#ifndef DOCSCAN_TOOLS_ARGS_H
#define DOCSCAN_TOOLS_ARGS_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace docscan_cli {

// A mistake on the command line; main prints it with a hint and exits with 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ArgReader {
public:
    explicit ArgReader(std::vector<std::string> args) : args_(std::move(args)) {}

    bool More() const { return pos_ < args_.size(); }
    const std::string &Peek() const { return args_[pos_]; }

    // Consumes the flag `name` (or its alias) if it is next.
    bool Flag(std::string_view name, std::string_view alias = {});
    // Consumes the option `name` (or its alias) and its value if it is next.
    // A missing value is a UsageError.
    bool Value(std::string_view name, std::string *value, std::string_view alias = {});
    // Consumes a positional argument (anything not starting with '-', or "-" itself).
    bool Positional(std::string *value);
    // Throws the usage error for whatever is next.
    [[noreturn]] void Unexpected(std::string_view command) const;

private:
    bool MatchValue(std::string_view name, std::string *value);

    std::vector<std::string> args_;
    size_t pos_ = 0;
};

// Strict numbers: the whole text must be the number and it must lie in range.
// `what` names the option in the UsageError.
long long ParseInteger(std::string_view text, long long min, long long max, std::string_view what);
double ParseReal(std::string_view text, double min, double max, std::string_view what);

// Case-insensitive comparison for option values such as "--mode color".
bool SameWord(std::string_view a, std::string_view b);

} // namespace docscan_cli

#endif
