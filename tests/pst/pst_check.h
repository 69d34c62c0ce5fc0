// A strict structure check of a Unicode personal-folders file, written from
// the format's published description: header CRCs and fields, every page
// and block trailer and CRC, B-tree order, levels and first keys, reference
// counts, allocation-map bits against what is in use, the map pages at their
// intervals, the nodes every file has, and each folder's tables against its
// children and counts.
#pragma once

#include <string>
#include <vector>

namespace velmorix::test {

// The faults found; empty when the file passes.
std::vector<std::string> CheckPst(const std::string& path);

}  // namespace velmorix::test
