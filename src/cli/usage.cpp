#include "cli/usage.h"

namespace skarvel {

namespace {

// Option descriptions start in column 31 of the "Options:" block.
constexpr const char* kUsageLines[] = {
    "Usage: skarvel <command> [options] [infile] [outfile]",
    "",
    "Options:",
    "    -s, --size xxG|xxM        total disk size",
    "    -p, --split               split into multiple files",
    "    -m, --merge               merge into single file",
    "    -c, --chains n            copy with parent files in n (n > 0 or n is 'all') levels",
    "    -t, --type kind           output kind: monolithicSparse, twoGbMaxExtentSparse,",
    "                              streamOptimized, monolithicFlat, twoGbMaxExtentFlat, raw,",
    "                              vhd (a fixed VHD of whole MiB)",
    "    -f, --format raw|vhd      the input is a raw disk or a fixed VHD",
    "    -F, --second-format raw|vhd  the same for compare's second input",
    "    -j, --json                a report for programs, in JSON",
    "    -d, --ddb name=value      the line ddb.name = \"value\" in a new image",
    "                              (no '\"', '=', CR or LF; repeatable)",
    "",
    "Commands:",
    "    skarvel info infile",
    "        -f, --format optional",
    "        -j, --json optional",
    "",
    "    skarvel convert file hwver=4|6 adapter=ide|buslogic|lsilogic",
    "        ddb.name=value optional (repeatable)",
    "",
    "    skarvel create [options] outfile",
    "        -s, --size required",
    "        -p, --split optional",
    "        -a, --adapter ide|buslogic|lsilogic",
    "        -r, --hwver 5|6 hardware version",
    "        -t, --type optional (not raw)",
    "        -d, --ddb optional",
    "",
    "    skarvel clone [options] infile outfile",
    "        -p, --split optional",
    "        -m, --merge optional",
    "        -d, --ddb optional",
    "",
    "    skarvel copy [options] infile outfile",
    "        -p, --split optional",
    "        -m, --merge optional",
    "        -c, --chains optional",
    "        -t, --type optional",
    "        -f, --format optional",
    "        -s, --size optional (larger than infile)",
    "        -j, --json optional",
    "        -d, --ddb optional",
    "",
    "    skarvel grow [options] file",
    "        -s, --size required",
    "        -j, --json optional",
    "",
    "    skarvel rebase [options] childfile parentfile",
    "        -l, --link-only optional",
    "        -j, --json optional",
    "",
    "    skarvel check [options] infile",
    "        -R, --repair optional",
    "        -f, --format optional",
    "        -j, --json optional",
    "",
    "    skarvel compare [options] first second",
    "        -f, --format optional (first)",
    "        -F, --second-format optional",
    "        -j, --json optional",
    "",
};

}  // namespace

void writeUsage(std::ostream& out) {
  for (const char* line : kUsageLines) out << line << '\n' << std::flush;
}

}  // namespace skarvel
