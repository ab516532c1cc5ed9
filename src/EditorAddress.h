#pragma once

#include <string>

// Where the editing mode finds its Rocket editor, as the command line gives
// it (the link itself is edit/EditorLink.h).

const int defaultEditorPort = 1338;

// "HOST", "HOST:PORT" or ":PORT" into its parts; an IPv6 address is written
// in brackets when a port follows ("[::1]:1338"), bare otherwise ("::1"). An
// empty host or a missing port leaves the defaults (localhost, 1338). False
// for a bad port, unclosed brackets, or a host that no name or address can
// be (over 253 characters, or characters a host name does not have).
bool parseEditorAddress(const std::string& text, std::string& host, int& port);
