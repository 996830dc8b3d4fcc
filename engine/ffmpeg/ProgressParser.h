#pragma once

#include <string>

// Reads ffmpeg's "-progress" report (key=value lines, a block closed by "progress=...").
class ProgressParser
{
public:
    // Returns true when the line closed a block.
    bool AddLine(const std::string& line);

    double Position() const { return m_position; }          // seconds written, < 0 none yet
    long long WrittenBytes() const { return m_bytes; }
    long long Frames() const { return m_frames; }           // video frames so far, < 0 none
    bool Ended() const { return m_ended; }                  // "progress=end"
    int Blocks() const { return m_blocks; }

private:
    double m_candidatePosition = -1;
    long long m_candidateBytes = -1;
    double m_position = -1;
    long long m_bytes = -1;
    long long m_candidateFrames = -1;
    long long m_frames = -1;
    bool m_ended = false;
    int m_blocks = 0;
};
