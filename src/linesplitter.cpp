#include "linesplitter.h"

StringList splitLines(const std::string& text) {
    StringList lines;
    LineCollector collector(lines);
    LineSplitter splitter;
    splitter.feed(text.data(), text.size(), collector);
    splitter.finish(collector);
    return lines;
}
