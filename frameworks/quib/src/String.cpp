#include "quib/String.h"

#include <cstring>

namespace Quib {

static StringData* makeBody(int length) {
    StringData* body = new StringData;
    body->data = new char[length + 1];
    body->data[length] = 0;
    body->size = length + 1;
    body->refCount = 1;
    return body;
}

String::String() : data(nullptr) {}

String::String(const char* text) : data(nullptr) {
    if (!text)
        return;
    int length = static_cast<int>(std::strlen(text));
    data = makeBody(length);
    std::memcpy(data->data, text, length);
}

String::String(const String& other) : data(other.data) {
    if (data)
        ++data->refCount;
}

String& String::operator=(const String& other) {
    if (this == &other)
        return *this;
    release();
    data = other.data;
    if (data)
        ++data->refCount;
    return *this;
}

String::~String() { release(); }

void String::release() {
    if (!data)
        return;
    if (--data->refCount == 0) {
        delete[] data->data;
        delete data;
    }
    data = nullptr;
}

int String::length() const { return data ? data->size - 1 : 0; }

const char* String::cStr() const { return data ? data->data : nullptr; }

int String::refCount() const { return data ? data->refCount : 0; }

const char& String::operator[](int index) const {
    if (!data)
        throw Exception("Cannot index empty string", "quib\\String", 109);
    if (index < 0 || index >= data->size)
        throw Exception("Index out of bounds", "quib\\String", 110);
    return data->data[index];
}

String String::operator+(const String& right) const {
    if (right.length() == 0)
        return *this;  // shares the left body; nothing is allocated
    int leftLength = length();
    int rightLength = right.length();
    String result;
    result.data = makeBody(leftLength + rightLength);
    for (int i = 0; i < leftLength; ++i)
        result.data->data[i] = (*this)[i];
    for (int i = 0; i < rightLength; ++i)
        result.data->data[leftLength + i] = right[i];
    return result;
}

String String::operator+(const char* right) const { return *this + String(right); }

String operator+(const char* left, const String& right) { return String(left) + right; }

Exception::Exception(const String& message, const String& file, int line)
    : message(), file(), line(line) {
    this->message = message;
    this->file = file;
}

Exception::Exception(const Exception& other)
    : message(other.message), file(other.file), line(other.line) {}

Exception::~Exception() {
    // file goes first, then message: the reverse of their declaration
}

String Exception::getMessage() const { return message; }
String Exception::getFile() const { return file; }
int Exception::getLine() const { return line; }

}  // namespace Quib
