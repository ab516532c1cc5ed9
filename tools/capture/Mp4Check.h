#pragma once

#include <string>

// Whether an MP4 is whole, read from its boxes: the top-level boxes fill the
// file exactly, it starts with "ftyp" and holds an index ("moov") and media
// data ("mdat"), and it has a picture track and a sound track lasting at
// least these seconds (within a millisecond for the picture, 50 ms for the
// sound). Empty when it is; otherwise what is wrong.
std::string checkMp4(const std::string& file, double pictureSeconds, double soundSeconds);
