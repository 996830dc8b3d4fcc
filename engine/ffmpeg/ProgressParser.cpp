#include "ffmpeg/ProgressParser.h"

#include <cstdio>
#include <cstdlib>

bool ProgressParser::AddLine(const std::string& rawLine)
{
    std::string line = rawLine;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    if (key == "out_time") {
        // "00:01:02.345678"; "N/A" or a negative time before the first packet.
        int h = 0, m = 0;
        double s = 0;
        if (value[0] != '-' && std::sscanf(value.c_str(), "%d:%d:%lf", &h, &m, &s) == 3)
            m_candidatePosition = h * 3600.0 + m * 60.0 + s;
    } else if (key == "total_size") {
        char* end = nullptr;
        long long v = std::strtoll(value.c_str(), &end, 10);
        if (end != value.c_str())
            m_candidateBytes = v;
    } else if (key == "frame") {
        char* end = nullptr;
        long long v = std::strtoll(value.c_str(), &end, 10);
        if (end != value.c_str())
            m_candidateFrames = v;
    } else if (key == "progress") {
        if (m_candidateFrames >= 0)
            m_frames = m_candidateFrames;
        if (m_candidatePosition >= 0)
            m_position = m_candidatePosition;
        if (m_candidateBytes >= 0)
            m_bytes = m_candidateBytes;
        m_ended = value == "end";
        ++m_blocks;
        return true;
    }
    return false;
}
