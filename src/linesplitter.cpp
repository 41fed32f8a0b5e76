#include "linesplitter.h"

#include <cstdio>
#include <iterator>

namespace {

constexpr std::size_t readBlockSize = 64 * 1024;

} // namespace

StringList splitLines(const std::string& text) {
    StringList lines;
    LineCollector collector(lines);
    LineSplitter splitter;
    splitter.feed(text.data(), text.size(), collector);
    splitter.finish(collector);
    return lines;
}

bool readFileLines(const std::string& path, StringList& lines) {
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (in == nullptr) {
        return false;
    }
    StringList read;
    LineCollector collector(read);
    LineSplitter splitter;
    std::vector<char> block(readBlockSize);
    std::size_t got = 0;
    while ((got = std::fread(block.data(), 1, block.size(), in)) > 0) {
        splitter.feed(block.data(), got, collector);
    }
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        return false;
    }
    splitter.finish(collector);
    lines.insert(lines.end(), std::make_move_iterator(read.begin()),
                 std::make_move_iterator(read.end()));
    return true;
}
