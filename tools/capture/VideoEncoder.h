#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

// The video encoder: the ffmpeg program behind a pipe. It is fed raw RGB
// frames, bottom row first as GL reads them, and mixes in the music itself;
// it writes H.264 (yuv420p, BT.709) and AAC (48 kHz, 320 kb/s) into an MP4
// with the index at the front and the title, artist and year as tags. The
// file is written under a temporary name beside the real one and renamed only
// when ffmpeg has finished it and the file holds the whole span; anything less
// removes it. ffmpeg dies with the process that started it.
class VideoEncoder {
public:
    struct Settings {
        std::string path;          // the video; absolute, or relative to where we started
        int width = 0, height = 0; // of the frames fed, and of the video
        double fps = 0;
        std::string music;         // the sound: this file from `from` to `to` seconds
        double from = 0, to = 0;
        bool master = false;       // near-lossless picture, for uploads
        std::string title, artist, year;
    };

    ~VideoEncoder();  // abandons an unfinished video

    // Checks where the video is to go, before anything is rendered, and
    // reserves its temporary name there. The path must be a new name in an
    // existing directory or a regular file that is none of `inputs` and
    // that the user may replace; a symbolic link to a regular file is
    // written through. False with the reason, naming the path, in error().
    bool prepare(const std::string& path, const std::vector<std::string>& inputs);
    // Starts ffmpeg on the prepared file; false with the reason in error().
    bool start(const std::string& ffmpeg, const Settings& settings);
    // Feeds one frame. False when ffmpeg has gone (see finish()) or a signal
    // came while waiting for it: the caller decides what the signal means.
    bool write(const void* pixels, size_t bytes);
    // Ends the input, waits for ffmpeg, and gives the video its name. False
    // with the reason in error(); nothing is left behind then.
    bool finish();
    // Stops ffmpeg and removes what it wrote.
    void abandon();

    // ffmpeg's last error line, or our own reason.
    const std::string& error() const { return failure; }

private:
    bool checkTarget(const std::string& asked, const std::vector<std::string>& inputs);
    void readErrors(bool untilEnd);
    bool wait();
    bool nameFinishedFile(const std::string& said);

    std::string target;  // the path asked for, for messages
    double seconds = 0;         // the span
    double pictureSeconds = 0;  // its frames' length
    pid_t pid = -1;
    int input = -1;   // ffmpeg's standard input
    int errors = -1;  // ffmpeg's standard error
    bool broken = false;  // a frame did not get through: the video is not whole
    std::string temporary, path;
    std::string errorText;  // the tail of what ffmpeg said
    std::string failure;
};
