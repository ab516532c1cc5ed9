#pragma once

#include <string>
#include <vector>

// The sound of a video export, checked before anything is rendered: the
// music must decode and last to the span's end, and a lossless master given
// in its place (--audio) must be this music.

// The music decoded as the checks compare it: mono at this rate.
const int checkRate = 4000;

// Empty when the music decodes (into samples, mono at checkRate) and lasts
// to `to` seconds; otherwise why not.
std::string checkMusic(const std::string& ffmpeg, const std::string& music, double to, std::vector<float>& samples);

// Empty when the master stands in for the music (its samples as checkMusic
// gave them); otherwise why not.
std::string checkMaster(const std::string& ffmpeg, const std::string& master, const std::vector<float>& music);
