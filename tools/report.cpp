// Text and JSON printing of reports.
#include "tools/report.h"

#include <algorithm>

namespace docscan_cli {

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                // Device strings are ASCII; anything else is shown as its byte value.
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string PrintableText(std::string_view text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        }
    }
    return out;
}

Report::Item Report::MakeItem(Kind kind, std::string key, std::string label)
{
    Item item;
    item.kind = kind;
    item.key = std::move(key);
    item.label = std::move(label);
    return item;
}

Report &Report::Text(std::string key, std::string label, std::string value)
{
    Item item = MakeItem(Kind::Text, std::move(key), std::move(label));
    item.text = std::move(value);
    items_.push_back(std::move(item));
    return *this;
}

Report &Report::Number(std::string key, std::string label, long long value, std::string unit)
{
    Item item = MakeItem(Kind::Number, std::move(key), std::move(label));
    item.number = value;
    item.unit = std::move(unit);
    items_.push_back(std::move(item));
    return *this;
}

Report &Report::Real(std::string key, std::string label, double value, std::string unit)
{
    Item item = MakeItem(Kind::Real, std::move(key), std::move(label));
    item.real = value;
    item.unit = std::move(unit);
    items_.push_back(std::move(item));
    return *this;
}

Report &Report::Hex(std::string key, std::string label, uint64_t value, int digits)
{
    Item item = MakeItem(Kind::Hex, std::move(key), std::move(label));
    item.hex = value;
    item.digits = digits;
    items_.push_back(std::move(item));
    return *this;
}

Report &Report::Bool(std::string key, std::string label, bool value)
{
    Item item = MakeItem(Kind::Bool, std::move(key), std::move(label));
    item.number = value ? 1 : 0;
    items_.push_back(std::move(item));
    return *this;
}

Report &Report::Numbers(std::string key, std::string label, const std::vector<long long> &values,
                        std::string unit)
{
    Item item = MakeItem(Kind::Numbers, std::move(key), std::move(label));
    item.numbers = values;
    item.unit = std::move(unit);
    items_.push_back(std::move(item));
    return *this;
}

Report &Report::Section(std::string key, std::string label, Report section)
{
    Item item = MakeItem(Kind::Section, std::move(key), std::move(label));
    item.section = std::make_shared<Report>(std::move(section));
    items_.push_back(std::move(item));
    return *this;
}

Report &Report::Append(const Report &other)
{
    items_.insert(items_.end(), other.items_.begin(), other.items_.end());
    return *this;
}

namespace {

std::string WithUnit(std::string value, const std::string &unit)
{
    return unit.empty() ? value : value + " " + unit;
}

std::string RealText(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string HexText(uint64_t value, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

} // namespace

void Report::PrintText(FILE *out, int indent) const
{
    size_t width = 0;
    for (const Item &item : items_) {
        if (item.kind != Kind::Section) width = std::max(width, item.label.size());
    }
    for (const Item &item : items_) {
        std::string value;
        switch (item.kind) {
        case Kind::Text: value = item.text; break;
        case Kind::Number: value = WithUnit(std::to_string(item.number), item.unit); break;
        case Kind::Real: value = WithUnit(RealText(item.real), item.unit); break;
        case Kind::Hex: value = HexText(item.hex, item.digits); break;
        case Kind::Bool: value = item.number != 0 ? "yes" : "no"; break;
        case Kind::Numbers:
            for (long long n : item.numbers) value += (value.empty() ? "" : ", ") + std::to_string(n);
            if (item.numbers.empty()) value = "none";
            value = WithUnit(value, item.unit);
            break;
        case Kind::Section:
            std::fprintf(out, "%*s%s:\n", indent, "", item.label.c_str());
            item.section->PrintText(out, indent + 2);
            continue;
        }
        std::fprintf(out, "%*s%-*s %s\n", indent, "", static_cast<int>(width + 1), (item.label + ":").c_str(),
                     value.c_str());
    }
}

std::string Report::Json() const
{
    std::string out = "{";
    bool first = true;
    for (const Item &item : items_) {
        if (!first) out += ",";
        first = false;
        out += JsonString(item.key) + ":";
        switch (item.kind) {
        case Kind::Text: out += JsonString(item.text); break;
        case Kind::Number: out += std::to_string(item.number); break;
        case Kind::Real: out += RealText(item.real); break;
        case Kind::Hex: out += std::to_string(item.hex); break;
        case Kind::Bool: out += item.number != 0 ? "true" : "false"; break;
        case Kind::Numbers: {
            out += "[";
            for (size_t i = 0; i < item.numbers.size(); ++i) {
                if (i != 0) out += ",";
                out += std::to_string(item.numbers[i]);
            }
            out += "]";
            break;
        }
        case Kind::Section: out += item.section->Json(); break;
        }
    }
    return out + "}";
}

} // namespace docscan_cli
