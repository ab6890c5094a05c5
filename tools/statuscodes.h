// Status codes of the driver, in words a person can read.
#ifndef DOCSCAN_TOOLS_STATUSCODES_H
#define DOCSCAN_TOOLS_STATUSCODES_H

#include <cstdint>
#include <string>

namespace docscan_cli {

// A short description of a status code; never empty (unknown codes get a
// generic text).
std::string StatusWords(uint64_t code);

// "2019 (0x7E3): no scanner was found" -- the form every failure message uses.
std::string DescribeStatus(uint64_t code);

} // namespace docscan_cli

#endif
