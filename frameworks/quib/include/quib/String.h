#pragma once

// The framework's one text type and its one exception type.
//
// A String is an immutable, reference-counted byte string: copies share one
// body and nothing ever changes a body once it is built, so sharing needs no
// copy-on-write. Counts are plain ints: a String and its copies stay on one
// thread.

namespace Quib {

struct StringData {
    char* data;    // the characters followed by one zero byte
    int size;      // bytes in data: length + 1, never below 1
    int refCount;  // handles sharing this body
};

class String {
public:
    String();                   // the null body: length 0, cStr() null
    String(const char* text);   // always makes a body ("" gives size 1); null gives the null body
    String(const String& other);
    String& operator=(const String& other);
    ~String();

    int length() const;
    const char* cStr() const;
    const char& operator[](int index) const;

    String operator+(const String& right) const;
    String operator+(const char* right) const;
    friend String operator+(const char* left, const String& right);

    // Handles sharing this body (0 for the null body); for inspection only.
    int refCount() const;
    const StringData* body() const { return data; }

private:
    void release();
    StringData* data;
};

// The file tag ("src\\Window") and line number of a throw are stable identifiers
// that tests and users match, fixed by hand: not __FILE__ and __LINE__.
class Exception {
public:
    Exception(const String& message, const String& file, int line);
    Exception(const Exception& other);
    ~Exception();

    String getMessage() const;
    String getFile() const;
    int getLine() const;

private:
    Exception& operator=(const Exception&) = delete;

    String message;
    String file;
    int line;
};

}  // namespace Quib
