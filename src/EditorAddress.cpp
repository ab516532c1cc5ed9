#include "EditorAddress.h"

#include <algorithm>
#include <cstdlib>

bool parseEditorAddress(const std::string& text, std::string& host, int& port) {
    host = "localhost";
    port = defaultEditorPort;
    std::string name, digits;
    bool withPort = false, ipv6 = false;
    if (!text.empty() && text[0] == '[') {
        // "[ADDRESS]" or "[ADDRESS]:PORT": an IPv6 address with a port.
        size_t close = text.find(']');
        if (close == std::string::npos || close == 1)
            return false;
        name = text.substr(1, close - 1);
        ipv6 = true;
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':')
                return false;
            digits = text.substr(close + 2);
            withPort = true;
        }
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        name = text;  // a bare IPv6 address, no port
        ipv6 = true;
    } else {
        size_t colon = text.find(':');
        name = text.substr(0, colon);
        if (colon != std::string::npos) {
            digits = text.substr(colon + 1);
            withPort = true;
        }
    }
    // What a host name or an address can hold (a zone after '%' included);
    // anything else would only fail the look-up later, silently.
    if (name.size() > 253)
        return false;
    for (char c : name) {
        bool fits = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '.' || c == '_' || (ipv6 && (c == ':' || c == '%'));
        if (!fits)
            return false;
    }
    if (!name.empty())
        host = name;
    if (!withPort)
        return true;
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::atoi(digits.c_str());
    return port >= 1 && port <= 65535;
}
