// Command-line reading for the docscan front end.
#include "tools/args.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace docscan_cli {

bool ArgReader::Flag(std::string_view name, std::string_view alias)
{
    if (!More()) return false;
    const std::string &arg = args_[pos_];
    if (arg == name || (!alias.empty() && arg == alias)) {
        ++pos_;
        return true;
    }
    if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 && arg[name.size()] == '=' &&
        name.size() > 2) {
        throw UsageError("option " + std::string(name) + " takes no value");
    }
    return false;
}

bool ArgReader::MatchValue(std::string_view name, std::string *value)
{
    const std::string &arg = args_[pos_];
    const bool isLong = name.size() > 2 && name[1] == '-';
    if (arg == name) {
        if (pos_ + 1 >= args_.size()) {
            throw UsageError("option " + std::string(name) + " needs a value");
        }
        *value = args_[pos_ + 1];
        pos_ += 2;
        return true;
    }
    if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0) {
        if (isLong && arg[name.size()] == '=') {
            *value = arg.substr(name.size() + 1);
            ++pos_;
            return true;
        }
        if (!isLong) { // "-l10"
            *value = arg.substr(name.size());
            ++pos_;
            return true;
        }
    }
    return false;
}

bool ArgReader::Value(std::string_view name, std::string *value, std::string_view alias)
{
    if (!More()) return false;
    return MatchValue(name, value) || (!alias.empty() && MatchValue(alias, value));
}

bool ArgReader::Positional(std::string *value)
{
    if (!More()) return false;
    const std::string &arg = args_[pos_];
    if (!arg.empty() && arg[0] == '-' && arg != "-") return false;
    *value = arg;
    ++pos_;
    return true;
}

void ArgReader::Unexpected(std::string_view command) const
{
    const std::string &arg = args_[pos_];
    const std::string where = command.empty() ? "" : " for '" + std::string(command) + "'";
    if (!arg.empty() && arg[0] == '-' && arg != "-") {
        throw UsageError("unknown option '" + arg + "'" + where);
    }
    throw UsageError("unexpected argument '" + arg + "'" + where);
}

long long ParseInteger(std::string_view text, long long min, long long max, std::string_view what)
{
    const std::string copy(text);
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(copy.c_str(), &end, 10);
    if (copy.empty() || std::isspace(static_cast<unsigned char>(copy[0])) || end == nullptr || *end != '\0' ||
        errno == ERANGE) {
        throw UsageError(std::string(what) + ": '" + copy + "' is not a whole number");
    }
    if (value < min || value > max) {
        throw UsageError(std::string(what) + " must be between " + std::to_string(min) + " and " +
                         std::to_string(max) + " (got " + copy + ")");
    }
    return value;
}

double ParseReal(std::string_view text, double min, double max, std::string_view what)
{
    const std::string copy(text);
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || std::isspace(static_cast<unsigned char>(copy[0])) || end == nullptr || *end != '\0' ||
        errno == ERANGE || !std::isfinite(value)) {
        throw UsageError(std::string(what) + ": '" + copy + "' is not a number");
    }
    if (value < min || value > max) {
        char range[96];
        std::snprintf(range, sizeof range, " must be between %g and %g", min, max);
        throw UsageError(std::string(what) + range + " (got " + copy + ")");
    }
    return value;
}

bool SameWord(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace docscan_cli
