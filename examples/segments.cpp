// Estimates, offline, how many SMS parts each text takes and in which
// alphabet.
//
//   segments TEXT...      one estimate per argument
//   segments < FILE       one estimate per line
#include <iostream>
#include <string>
#include <vector>

#include <qelsms/segments.hpp>

namespace {

void estimate(const std::string& text) {
    const qelsms::SegmentCount count = qelsms::countSegments(text);
    std::cout << (count.encoding == qelsms::Encoding::GSM7 ? "GSM7" : "UCS2") << ' ' << count.characters
              << " characters, " << count.parts << (count.parts == 1 ? " part: " : " parts: ") << text
              << '\n';
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> texts(argv + 1, argv + argc);
    for (const auto& text : texts)
        estimate(text);
    if (texts.empty()) {
        for (std::string line; std::getline(std::cin, line);)
            estimate(line);
    }
}
