#include "File.h"

#include <fstream>
#include <iterator>
#include <string>

#include "platform/PathKind.h"

using Quib::Exception;
using Quib::String;

String readFile(const String& path) {
    const char* name = path.cStr() ? path.cStr() : "";
    std::ifstream stream;
    if (isFileOrDirectory(name))
        stream.open(name, std::ios::in);
    if (!stream.is_open() || stream.fail() || stream.bad())
        throw Exception("Could not open input file: \"" + path + "\"", "src\\File", 11);
    std::string text;
    for (std::istreambuf_iterator<char> it(stream), end; it != end; ++it)
        text += *it;
    // Made from the text as a C string: it ends before the first zero byte.
    return String(text.c_str());
}
