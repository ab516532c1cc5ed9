#include "Mp4Check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

uint32_t big32(const std::string& b, size_t at) {
    return uint32_t(uint8_t(b[at])) << 24 | uint32_t(uint8_t(b[at + 1])) << 16 | uint32_t(uint8_t(b[at + 2])) << 8 |
           uint32_t(uint8_t(b[at + 3]));
}

uint64_t big64(const std::string& b, size_t at) { return uint64_t(big32(b, at)) << 32 | big32(b, at + 4); }

// A box's size and header size from its first bytes (16 when its size
// follows as 64 bits; a size of 0 runs to the end); 0 for a size that
// does not fit in `left` bytes.
uint64_t boxSize(const std::string& header, uint64_t left, uint64_t& headerSize) {
    if (header.size() < 8)
        return 0;
    uint64_t size = big32(header, 0);
    headerSize = 8;
    if (size == 1) {
        if (header.size() < 16)
            return 0;
        size = big64(header, 8);
        headerSize = 16;
    } else if (size == 0) {
        size = left;
    }
    return size < headerSize || size > left ? 0 : size;
}

// The boxes inside a box read whole: (type, payload start, payload end)
// each; false when one runs past the end.
struct Box {
    std::string type;
    size_t begin, end;
};
bool boxes(const std::string& b, size_t begin, size_t end, std::vector<Box>& found) {
    for (size_t at = begin; at < end;) {
        uint64_t header = 0;
        uint64_t size = boxSize(b.substr(at, 16), end - at, header);
        if (size == 0)
            return false;
        found.push_back(Box{b.substr(at + 4, 4), at + size_t(header), at + size_t(size)});
        at += size_t(size);
    }
    return true;
}

// The file's top-level boxes: the index's payload read into moov. Empty
// when they fill the file exactly and it starts as an MP4 does.
std::string readTopLevel(int fd, uint64_t size, std::string& moov, bool& media) {
    uint64_t at = 0;
    std::string first;
    while (at < size) {
        char bytes[16];
        ssize_t n = pread(fd, bytes, sizeof bytes, off_t(at));
        uint64_t header = 0;
        uint64_t box = boxSize(std::string(bytes, size_t(std::max<ssize_t>(n, 0))), size - at, header);
        if (box == 0)
            break;
        std::string type(bytes + 4, 4);
        if (first.empty())
            first = type;
        media = media || type == "mdat";
        if (type == "moov" && moov.empty() && box - header < (64u << 20)) {
            moov.resize(size_t(box - header));
            if (pread(fd, &moov[0], moov.size(), off_t(at + header)) != ssize_t(moov.size()))
                moov.clear();
        }
        at += box;
    }
    if (at != size || first != "ftyp")
        return "the file is cut short or damaged (" + std::to_string(size) + " bytes)";
    return "";
}

// One track's handler ("vide", "soun") and length in seconds from its
// media boxes (-1 where there is no length).
void describeTrack(const std::string& moov, const std::vector<Box>& media, std::string& handler, double& length) {
    length = -1;
    for (const Box& box : media) {
        if (box.type == "hdlr" && box.end - box.begin >= 12) {
            handler = moov.substr(box.begin + 8, 4);
        } else if (box.type == "mdhd" && box.end - box.begin >= 24) {
            bool wide = moov[box.begin] == 1;
            if (wide && box.end - box.begin < 36)
                continue;
            uint32_t scale = big32(moov, box.begin + (wide ? 20 : 12));
            uint64_t duration = wide ? big64(moov, box.begin + 24) : big32(moov, box.begin + 16);
            if (scale)
                length = double(duration) / scale;
        }
    }
}

// The longest picture and sound tracks of the index; false when it is damaged.
bool trackLengths(const std::string& moov, double& picture, double& sound) {
    picture = sound = -1;
    std::vector<Box> tracks;
    if (!boxes(moov, 0, moov.size(), tracks))
        return false;
    for (const Box& track : tracks) {
        if (track.type != "trak")
            continue;
        std::vector<Box> parts, media;
        if (!boxes(moov, track.begin, track.end, parts))
            return false;
        for (const Box& part : parts)
            if (part.type == "mdia" && !boxes(moov, part.begin, part.end, media))
                return false;
        std::string handler;
        double length;
        describeTrack(moov, media, handler, length);
        if (handler == "vide")
            picture = std::max(picture, length);
        else if (handler == "soun")
            sound = std::max(sound, length);
    }
    return true;
}

}  // namespace

std::string checkMp4(const std::string& file, double pictureSeconds, double soundSeconds) {
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::strerror(errno);
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return "not a regular file";
    }
    std::string moov;
    bool media = false;
    std::string wrong = readTopLevel(fd, uint64_t(info.st_size), moov, media);
    close(fd);
    if (!wrong.empty())
        return wrong;
    if (moov.empty() || !media)
        return "the file has no index or no media data";
    double picture, sound;
    if (!trackLengths(moov, picture, sound))
        return "the file's index is damaged";
    if (picture < 0)
        return "the file has no picture";
    if (sound < 0)
        return "the file has no sound";
    if (picture < pictureSeconds - 0.001 || sound < soundSeconds - 0.05) {
        char text[160];
        std::snprintf(text, sizeof text, "the file holds %.2f s of picture and %.2f s of sound, not %.2f s", picture,
                      sound, std::min(pictureSeconds, soundSeconds));
        return text;
    }
    return "";
}
