// Output of the docscan front end: a report is an ordered list of named
// values (with nested sections), printed either for a person or as JSON.
#ifndef DOCSCAN_TOOLS_REPORT_H
#define DOCSCAN_TOOLS_REPORT_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace docscan_cli {

// JSON text of a string, with quotes and escapes.
std::string JsonString(std::string_view text);
// Text from the device made safe for a terminal: every byte outside printable
// ASCII becomes \xNN, so that no escape sequence of the device's reaches it.
std::string PrintableText(std::string_view text);

class Report {
public:
    // `label` is what a person reads; `key` is the JSON member name.
    Report &Text(std::string key, std::string label, std::string value);
    Report &Number(std::string key, std::string label, long long value, std::string unit = {});
    Report &Real(std::string key, std::string label, double value, std::string unit = {});
    Report &Hex(std::string key, std::string label, uint64_t value, int digits);
    Report &Bool(std::string key, std::string label, bool value);
    Report &Numbers(std::string key, std::string label, const std::vector<long long> &values,
                    std::string unit = {});
    Report &Section(std::string key, std::string label, Report section);
    // Adds every item of `other` after these.
    Report &Append(const Report &other);

    // "  Label:     value" lines, sections indented below their title.
    void PrintText(FILE *out, int indent = 0) const;
    // One JSON object.
    std::string Json() const;

private:
    enum class Kind { Text, Number, Real, Hex, Bool, Numbers, Section };
    struct Item {
        Kind kind = Kind::Text;
        std::string key;
        std::string label;
        std::string text;
        long long number = 0;
        double real = 0;
        uint64_t hex = 0;
        int digits = 0;
        std::vector<long long> numbers;
        std::string unit;
        std::shared_ptr<Report> section;
    };
    static Item MakeItem(Kind kind, std::string key, std::string label);

    std::vector<Item> items_;
};

} // namespace docscan_cli

#endif
