#include "File.h"

#include <fstream>
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
    // get() turns a read error (a directory opens, then cannot be read) into
    // the stream's bad state instead of an exception: the text read so far
    // is what the file gives.
    std::string text;
    char c;
    while (stream.get(c))
        text += c;
    // Made from the text as a C string: it ends before the first zero byte.
    return String(text.c_str());
}
